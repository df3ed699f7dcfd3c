#include "link/LinkClock.h"

#include <QElapsedTimer>
#include <QThread>

namespace qst {

namespace {

class RealLinkClock final : public LinkClock
{
public:
    RealLinkClock() { m_timer.start(); }
    quint32 Tick() override { return static_cast<quint32>(m_timer.elapsed()); }
    void Sleep(int ms) override { QThread::msleep(static_cast<unsigned long>(ms)); }

private:
    QElapsedTimer m_timer;
};

} // namespace

LinkClock &SystemLinkClock()
{
    static RealLinkClock clock;
    return clock;
}

} // namespace qst
