#include "ArchiveView.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/MeterWriteLock.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QFile>
#include <QHash>
#include <QtGlobal>

#include <algorithm>

namespace qst {

namespace {

constexpr int kFirstClearYear = 1990;

double At(const QDate &date, const QTime &time)
{
    return DayCountFromParts(date, QTime(time.hour(), time.minute(), time.second()));
}

bool LineTimeOf(QStringView line, double *time)
{
    const qsizetype tab = line.indexOf(u'\t');
    return TryParseReal(tab < 0 ? line : line.left(tab), time);
}

// Every line of the files in order; a file that cannot be read is skipped.
QStringList JoinedLines(const QStringList &paths)
{
    QStringList lines;
    for (const QString &path : paths) {
        if (!QFile::exists(path))
            continue;
        try {
            lines += LoadLines(path);
        } catch (const StorageError &) {
        }
    }
    return lines;
}

void CountSkipped(int *skipped)
{
    if (skipped)
        ++*skipped;
}

// Drops the lines stamped before the cut and saves the file when something went.
void DropLinesBefore(const QString &path, qint64 cutMs)
{
    if (!QFile::exists(path))
        return;
    QStringList lines = LoadLines(path);
    bool changed = false;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        double time = 0;
        if (LineTimeOf(lines[i], &time) && DayCountToMs(time) < cutMs) {
            lines.removeAt(i);
            changed = true;
        }
    }
    if (changed)
        SaveLines(path, lines);
}

} // namespace

bool ArchivePeriod::Contains(double time) const
{
    const qint64 t = DayCountToMs(time);
    return DayCountToMs(from) <= t && t <= DayCountToMs(to);
}

ArchivePeriod HourlyPeriod(const QDate &fromDate, const QTime &fromTime, const QDate &toDate, const QTime &toTime)
{
    return {At(fromDate, fromTime), At(toDate, toTime)};
}

ArchivePeriod DailyPeriod(const QDate &fromDate, const QDate &toDate)
{
    return {At(fromDate, QTime(0, 0)), At(toDate, QTime(23, 59, 59))};
}

ArchivePeriod MonthlyPeriod(const QDate &fromDate, const QDate &toDate)
{
    return {At(QDate(fromDate.year(), fromDate.month(), 1), QTime(0, 0)),
            At(QDate(toDate.year(), toDate.month(), 28), QTime(23, 59, 59))};
}

ArchivePeriod JournalPeriod(const QDate &fromDate, const QTime &fromTime, const QDate &toDate, const QTime &toTime)
{
    return HourlyPeriod(fromDate, fromTime, toDate, toTime);
}

namespace {

// The month files of one kind (hourly, history) from the month of `from` to that of `to`.
QStringList MonthFiles(const QString &dataRoot, DataKind kind, quint16 serial, const ArchivePeriod &period)
{
    QStringList paths;
    const QDate from = DateFromDayCount(period.from);
    const QDate to = DateFromDayCount(period.to);
    if (!from.isValid() || !to.isValid())
        return paths;
    for (int y = from.year(), m = from.month(); y < to.year() || (y == to.year() && m <= to.month());) {
        paths << DataFilePath(dataRoot, kind, serial, y, m);
        if (++m > 12) {
            m = 1;
            ++y;
        }
    }
    return paths;
}

// The records of the files whose time lies in the period, in file and line order; lines
// without a time or that do not convert are counted in *skipped.
template <typename Record, typename Parse>
QList<Record> LoadRecords(const QStringList &paths, const ArchivePeriod &period, int *skipped, Parse parse)
{
    QList<Record> records;
    for (const QString &line : JoinedLines(paths)) {
        double time = 0;
        if (!LineTimeOf(line, &time)) {
            CountSkipped(skipped);
            continue;
        }
        if (!period.Contains(time))
            continue;
        Record record;
        if (parse(line, &record))
            records.append(record);
        else
            CountSkipped(skipped);
    }
    return records;
}

} // namespace

QStringList ArchiveFilesForPeriod(const QString &dataRoot, quint16 serial, ArchivePageKind kind,
                                  const ArchivePeriod &period)
{
    if (kind == ArchivePageKind::Monthly)
        return {DataFilePath(dataRoot, DataKind::Monthly, serial)};
    if (kind == ArchivePageKind::Hourly)
        return MonthFiles(dataRoot, DataKind::Hourly, serial, period);
    QStringList paths;
    const QDate from = DateFromDayCount(period.from);
    const QDate to = DateFromDayCount(period.to);
    if (!from.isValid() || !to.isValid())
        return paths;
    for (int y = from.year(); y <= to.year(); ++y)
        paths << DataFilePath(dataRoot, DataKind::Daily, serial, y);
    return paths;
}

QList<ArchiveRecord> LoadArchiveRecords(const QString &dataRoot, const QString &serialText, ArchivePageKind kind,
                                        const ArchivePeriod &period, int *skipped, QList<ArchiveDamage> *damage)
{
    quint16 serial = 0;
    if (!ParseSerial(serialText, &serial))
        return {};
    QList<ArchiveDamage> found;
    QList<ArchiveRecord> records = LoadRecords<ArchiveRecord>(
        ArchiveFilesForPeriod(dataRoot, serial, kind, period), period, skipped,
        [&found](const QString &line, ArchiveRecord *record) {
            if (TryParseArchiveLine(line, record))
                return true;
            double time = 0;
            LineTimeOf(line, &time);
            found.append({time, false});
            return false;
        });
    // One line per time: the later one, as the ordered insert keeps it.
    QHash<qint64, qsizetype> last;
    for (qsizetype i = 0; i < records.size(); ++i)
        last[TimeKey(records[i].time)] = i;
    if (last.size() != records.size()) {
        QList<ArchiveRecord> kept;
        for (qsizetype i = 0; i < records.size(); ++i) {
            if (last.value(TimeKey(records[i].time)) == i) {
                kept.append(records[i]);
            } else {
                CountSkipped(skipped);
                found.append({records[i].time, true});
            }
        }
        records.swap(kept);
    }
    if (!found.isEmpty()) {
        const qsizetype repeated =
            std::count_if(found.cbegin(), found.cend(), [](const ArchiveDamage &d) { return d.repeated; });
        qWarning("%s", qUtf8Printable(QStringLiteral("Архив прибора %1: повреждённых строк %2, строк с повторным "
                                                     "временем %3 (использована последняя)")
                                          .arg(serialText.trimmed())
                                          .arg(found.size() - repeated)
                                          .arg(repeated)));
    }
    if (damage)
        *damage += found;
    return records;
}

QList<JARecord> LoadJournalRecords(const QString &dataRoot, const QString &serialText, const ArchivePeriod &period,
                                   int *skipped)
{
    quint16 serial = 0;
    if (!ParseSerial(serialText, &serial))
        return {};
    return LoadRecords<JARecord>({DataFilePath(dataRoot, DataKind::Journal, serial)}, period, skipped,
                                 TryParseJournalLine);
}

QList<CurrentHistoryRecord> LoadHistoryRecords(const QString &dataRoot, const QString &serialText,
                                               const ArchivePeriod &period, int *skipped)
{
    quint16 serial = 0;
    if (!ParseSerial(serialText, &serial))
        return {};
    return LoadRecords<CurrentHistoryRecord>(MonthFiles(dataRoot, DataKind::History, serial, period), period, skipped,
                                             TryParseHistoryLine);
}

QList<ArchiveColumn> ArchiveColumns(ArchiveTable table)
{
    const QString dt = QStringLiteral("Дата/время");
    switch (table) {
    case ArchiveTable::HeatSystem1:
        return {{dt, 0, 0, u""},
                {QStringLiteral("Q (ГКал)"), 1, 0, u"0.####"},
                {QStringLiteral("М1 (тонн)"), 3, 0, u"0.###"},
                {QStringLiteral("М2 (тонн)"), 4, 0, u"0.###"},
                {QStringLiteral("V1 (м^3)"), 7, 0, u"0.###"},
                {QStringLiteral("V2 (м^3)"), 8, 0, u"0.###"},
                {QStringLiteral("Т1 (°С)"), 12, 0, u"0.##"},
                {QStringLiteral("Т2 (°С)"), 13, 0, u"0.##"},
                {QStringLiteral("Т1-Т2 (°С)"), 12, 13, u"0.##"},
                {QStringLiteral("Р1 (кгс/см^2)"), 16, 0, u"0.##"},
                {QStringLiteral("Р2 (кгс/см^2)"), 17, 0, u"0.##"},
                {QStringLiteral("ВНР (час)"), 28, 0, u"0.##"},
                {QStringLiteral("ВНС (час)"), 29, 0, u"0.##"},
                {QStringLiteral("НС1"), 23, 0, nullptr},
                {QStringLiteral("НС2"), 24, 0, nullptr}};
    case ArchiveTable::HeatSystem2:
        return {{dt, 0, 0, u""},
                {QStringLiteral("Q (ГКал)"), 2, 0, u"0.####"},
                {QStringLiteral("М3 (тонн)"), 5, 0, u"0.###"},
                {QStringLiteral("М4 (тонн)"), 6, 0, u"0.###"},
                {QStringLiteral("V3 (м^3)"), 9, 0, u"0.###"},
                {QStringLiteral("V4 (м^3)"), 10, 0, u"0.###"},
                {QStringLiteral("Т3 (°С)"), 14, 0, u"0.##"},
                {QStringLiteral("Т4 (°С)"), 15, 0, u"0.##"},
                {QStringLiteral("Т3-Т4 (°С)"), 14, 15, u"0.##"},
                {QStringLiteral("Р3 (кгс/см^2)"), 18, 0, u"0.##"},
                {QStringLiteral("Р4 (кгс/см^2)"), 19, 0, u"0.##"},
                {QStringLiteral("ВНР (час)"), 30, 0, u"0.##"},
                {QStringLiteral("ВНС (час)"), 31, 0, u"0.##"},
                {QStringLiteral("НС3"), 25, 0, nullptr},
                {QStringLiteral("НС4"), 26, 0, nullptr}};
    case ArchiveTable::ColdWater:
        break;
    }
    return {{dt, 0, 0, u""},
            {QStringLiteral("V5 (м^3)"), 11, 0, u"0.###"},
            {QStringLiteral("Т5 (°С)"), 20, 0, u"0.##"},
            {QStringLiteral("Р5 (кгс/см^2)"), 21, 0, u"0.##"},
            {QStringLiteral("ВНР (час)"), 32, 0, u"0.##"},
            {QStringLiteral("ВНС (час)"), 33, 0, u"0.##"},
            {QStringLiteral("НС5"), 27, 0, nullptr}};
}

double ArchiveColumnValue(const ArchiveRecord &record, const ArchiveColumn &column)
{
    if (column.minusField > 0)
        return static_cast<float>(ArchiveField(record, column.field))
               - static_cast<float>(ArchiveField(record, column.minusField));
    return ArchiveField(record, column.field);
}

double ArchiveField(const ArchiveRecord &r, int field)
{
    if (field == 0)
        return r.time;
    if (field >= 1 && field <= 19)
        return r.values[field - 1];
    if (field == 20)
        return r.t5;
    if (field == 21)
        return r.p5;
    if (field == 22)
        return r.status;
    if (field >= 23 && field <= 27)
        return r.ns[field - 23];
    if (field >= 28 && field <= 45)
        return r.hours[field - 28];
    return 0;
}

void ClearArchive(const QString &dataRoot, const QString &serialText, const QDateTime &cut, const ClearChoice &choice)
{
    quint16 serial = 0;
    if (!ParseSerial(serialText, &serial))
        return;
    // A poll storing lines of this meter meanwhile would lose them to the rewrite below.
    MeterWriteLock lock(serial);
    const qint64 cutMs = DayCountToMs(DayCountFromDateTime(cut));
    const int year = cut.date().year();
    const int month = cut.date().month();

    if (choice.journal)
        DropLinesBefore(DataFilePath(dataRoot, DataKind::Journal, serial), cutMs);
    if (choice.monthly)
        DropLinesBefore(DataFilePath(dataRoot, DataKind::Monthly, serial), cutMs);
    if (choice.daily) {
        for (int y = kFirstClearYear; y < year; ++y)
            QFile::remove(DataFilePath(dataRoot, DataKind::Daily, serial, y));
        DropLinesBefore(DataFilePath(dataRoot, DataKind::Daily, serial, year), cutMs);
    }
    if (choice.hourly) {
        for (int y = kFirstClearYear; y <= year; ++y) {
            for (int m = 1; m <= 12 && (y < year || m < month); ++m)
                QFile::remove(DataFilePath(dataRoot, DataKind::Hourly, serial, y, m));
        }
        DropLinesBefore(DataFilePath(dataRoot, DataKind::Hourly, serial, year, month), cutMs);
    }
}

} // namespace qst
