#pragma once

#include <QtGlobal>

namespace qst {

// The millisecond tick and sleeping, as the transaction layer times an answer. The tick
// may wrap; callers take unsigned 32-bit differences.
class LinkClock
{
public:
    virtual ~LinkClock() = default;
    virtual quint32 Tick() = 0;
    virtual void Sleep(int ms) = 0;
};

// The real clock (monotonic); one shared instance, safe to use from every thread.
LinkClock &SystemLinkClock();

} // namespace qst
