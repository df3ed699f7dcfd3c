#include "ExchangeClock.h"

namespace qst {

namespace {

class SystemClock final : public ExchangeClock
{
public:
    QDateTime Now() override { return QDateTime::currentDateTime(); }
    quint32 Tick() override { return SystemLinkClock().Tick(); }
    void Sleep(int ms) override { SystemLinkClock().Sleep(ms); }
};

} // namespace

ExchangeClock &SystemExchangeClock()
{
    static SystemClock clock;
    return clock;
}

} // namespace qst
