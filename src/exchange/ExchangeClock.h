#pragma once

#include "link/LinkClock.h"

#include <QDateTime>

namespace qst {

// Time as the exchange engine sees it: the wall clock for periods, back values and log
// lines, the millisecond tick and sleeping for timeouts. Tests replace it to run the
// modem, retry and idle cases without waiting for real.
class ExchangeClock : public LinkClock
{
public:
    virtual QDateTime Now() = 0;
};

ExchangeClock &SystemExchangeClock();

} // namespace qst
