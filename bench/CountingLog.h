#pragma once

#include "exchange/LogSink.h"

#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <atomic>

namespace qst::bench {

// Counts the exchange thread's stored records and failures, and the span from the first
// stored record to the last: the thread's start-up and the supervisor's tick stay out of
// the per-record time.
class CountingLog final : public LogSink
{
public:
    void WriteLogLine(int, const QString &line) override
    {
        if (line.contains(QStringLiteral("считана успешно"))) {
            const qint64 now = clock.nsecsElapsed();
            if (++records == 1)
                firstNs = now;
            lastNs = now;
        } else if (line.contains(QStringLiteral("Не удалось"))) {
            ++failures;
        }
    }
    double SecondsPerRecord() const { return (lastNs - firstNs) / 1e9 / std::max(records - 1, 1); }

    std::atomic<int> records{0};
    std::atomic<int> failures{0};
    std::atomic<qint64> firstNs{0};
    std::atomic<qint64> lastNs{0};
    QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
};

} // namespace qst::bench
