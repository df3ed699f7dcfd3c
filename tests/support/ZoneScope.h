#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <ctime>

namespace qst::test {

// Pins the process's time zone for one test and puts the previous one back.
class ZoneScope
{
public:
    explicit ZoneScope(const char *zone)
        : m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneScope()
    {
        qputenv("TZ", m_old);
        tzset();
    }

private:
    QByteArray m_old;
};

} // namespace qst::test
