#pragma once

#include "../reports/ReportFixture.h"

#include "registry/Registry.h"

#include <QDir>
#include <QFile>
#include <QStringList>

namespace qst::test {

// Meter 100 with two days of hourly records and the day after, registered in Tree.ini.
struct ReportCliFixture : ReportFixture
{
    ReportCliFixture()
    {
        Registry registry(TreeIniPath(root.path()));
        const int meter = registry.IssueMeterNumber();
        registry.AppendNumber(GroupSection(0), reg::kCList, meter);
        registry.file().WriteString(MeterSection(meter), reg::kSerial, QStringLiteral("100"));
        registry.file().WriteString(MeterSection(meter), reg::kName, QStringLiteral("Котельная №3"));
        registry.file().WriteString(MeterSection(meter), reg::kDU, QStringLiteral("50"));
        for (int day = 1; day <= 3; ++day)
            PutDay(day);
    }
    void PutDay(int day)
    {
        for (int h = 0; h < 24; ++h)
            Put(kHourlyArchive, {At(2010, 3, day, h), 0.125f * h, 2, 1.5f, 1, 1, 70, 45.5f, 5, 4, 1, 0,
                                 static_cast<quint16>(h == 7 ? 5 : 0), 0});
        Put(kDailyArchive, {At(2010, 3, day), 3, 48, 36, 24, 24, 70, 45.5f, 5, 4, 24, 0});
    }
    QString Out(const QString &name) const { return QDir(root.path()).filePath(name); }
};

inline QStringList Args(const QString &kind, const QString &out, QStringList extra = {})
{
    return QStringList{QStringLiteral("report"), QStringLiteral("--serial"), QStringLiteral("100"),
                       QStringLiteral("--kind"),   kind,
                       QStringLiteral("--system"), QStringLiteral("1"),
                       QStringLiteral("--from"),   QStringLiteral("2010-03-01"),
                       QStringLiteral("--to"),     QStringLiteral("2010-03-02"),
                       QStringLiteral("--out"),    out}
           + extra;
}

inline QStringList RowsArgs(const QString &kind, QStringList extra = {})
{
    return QStringList{QStringLiteral("report-rows"), QStringLiteral("--serial"), QStringLiteral("100"),
                       QStringLiteral("--kind"),      kind,
                       QStringLiteral("--system"),    QStringLiteral("1"),
                       QStringLiteral("--from"),      QStringLiteral("2010-03-01"),
                       QStringLiteral("--to"),        QStringLiteral("2010-03-02")}
           + extra;
}

inline QByteArray Bytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}


} // namespace qst::test
