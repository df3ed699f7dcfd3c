#pragma once

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QDate>
#include <QList>
#include <QString>

namespace qst::bench {

// A version-1 meter (serial 100) with a year of hourly and daily records of 2010, written in
// batches.
inline void WriteYear(const QString &root)
{
    const QDate first(2010, 1, 1);
    QList<TimedLine> month;
    QList<TimedLine> days;
    int currentMonth = 1;
    auto flush = [&](int m) {
        InsertArchiveLines(DataFilePath(root, DataKind::Hourly, 100, 2010, m), month, true);
        month.clear();
    };
    for (int d = 0; d < 365; ++d) {
        const QDate date = first.addDays(d);
        if (date.month() != currentMonth) {
            flush(currentMonth);
            currentMonth = date.month();
        }
        ArchiveValues day;
        day.time = DayCountFromDate(date);
        for (int h = 0; h < 24; ++h) {
            ArchiveValues a;
            a.time = DayCountFromParts(date, QTime(h, 0));
            a.F[0] = 0.05f + 0.001f * h;
            a.F[2] = 1.5f + 0.01f * (h % 7);
            a.F[3] = 1.45f;
            a.F[6] = (h + d) % 11 == 0 ? 0.01f : 1.5f;
            a.F[11] = 80.f;
            a.F[12] = 50.f;
            a.F[21] = 60;
            a.NS[1] = h == 3 ? 1 : 0; // one hour a day with a fault, for the faults table
            month.append({BuildArchiveLine(1, a), a.time});
            for (int i = 0; i < 27; ++i)
                day.F[i] += a.F[i];
        }
        days.append({BuildArchiveLine(1, day), day.time});
    }
    flush(currentMonth);
    InsertArchiveLines(DataFilePath(root, DataKind::Daily, 100, 2010), days, true);
}


} // namespace qst::bench
