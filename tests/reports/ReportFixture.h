#pragma once

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "reports/ReportTables.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"
#include "support/TempDataRoot.h"

namespace qst::test {

inline double At(int y, int mo, int d, int h = 0, int mi = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi));
}

// Archive files of meter 100 written through the real line builder and ordered insert.
struct ReportFixture
{
    TempDataRoot root;
    StorageTarget target{root.path(), nullptr};

    ReportSelection Selection(int kind, QDate from, QDate to, QList<int> items = {}, int system = kHeatSystem1)
    {
        ReportSelection s;
        s.dataRoot = root.path();
        s.serial = QStringLiteral("100");
        s.kind = kind;
        s.heatSystem = system;
        s.from = QDateTime(from, QTime(15, 20)); // pickers carry a time of day
        s.to = QDateTime(to, QTime(15, 20));
        for (int i : items)
            (system == kColdWater ? s.ts3[i] : s.ts2[i]) = true;
        return s;
    }

    // values: Q1, M1, M2, V1, V2, T1, T2, P1, P2 and operating/stop hours of system 1.
    struct Row
    {
        double time;
        float q = 0, m1 = 0, m2 = 0, v1 = 0, v2 = 0, t1 = 0, t2 = 0, p1 = 0, p2 = 0;
        float workHours = 0, stopHours = 0;
        quint16 ns0 = 0, ns1 = 0;
    };

    void Put(int kind, const Row &row, int version = 1)
    {
        ArchiveValues a;
        a.time = row.time;
        a.F[0] = row.q;
        a.F[2] = row.m1;
        a.F[3] = row.m2;
        a.F[6] = row.v1;
        a.F[7] = row.v2;
        a.F[11] = row.t1;
        a.F[12] = row.t2;
        a.F[15] = row.p1;
        a.F[16] = row.p2;
        a.F[21] = row.workHours * 60;
        a.F[22] = row.stopHours * 60;
        a.NS[0] = row.ns0;
        a.NS[1] = row.ns1;
        SaveArchiveLine(target, version, 100, true, 0, kind, a);
    }
};

} // namespace qst::test
