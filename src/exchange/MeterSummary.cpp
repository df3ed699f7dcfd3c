#include "MeterSummary.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QDir>
#include <QJsonValue>

#include <algorithm>

namespace qst {

namespace {

// The files of a kind, newest period first (names read as numbers: year, then month).
QStringList FilesNewestFirst(const QString &dataRoot, quint16 serial, GapKind kind)
{
    if (kind == GapKind::Monthly)
        return {DataFilePath(dataRoot, DataKind::Monthly, serial)};
    const DataKind dataKind = kind == GapKind::Hourly ? DataKind::Hourly : DataKind::Daily;
    const QDir folder(MeterFolderPath(dataRoot, dataKind, serial));
    QList<std::pair<qint64, QString>> named;
    for (const QString &name : folder.entryList({QStringLiteral("*.dat")}, QDir::Files)) {
        const QString stem = name.chopped(4);
        bool ok = false;
        const qint64 year = stem.left(4).toLongLong(&ok);
        if (!ok || stem.size() < 4)
            continue;
        qint64 month = 0;
        if (kind == GapKind::Hourly && !(stem.size() > 4 && (month = stem.mid(4).toLongLong(&ok), ok)))
            continue;
        named.append({year * 100 + month, folder.filePath(name)});
    }
    std::sort(named.begin(), named.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList files;
    for (const auto &n : named)
        files << n.second;
    return files;
}

const QString &GroupName(Registry &registry, int meter)
{
    static const QString kRoot = QStringLiteral("Все");
    thread_local QString name;
    const int group = int(registry.file().ReadInteger(MeterSection(meter), reg::kParent, 0));
    if (group == 0)
        return kRoot;
    name = registry.file().ReadString(GroupSection(group), reg::kName);
    return name;
}

} // namespace

namespace {

// Calls `line` for the file's lines from the last back, until it returns false.
template <typename F> void EachLineFromEnd(const QByteArray &bytes, F &&line)
{
    qsizetype end = bytes.size();
    while (end > 0) {
        qsizetype stop = end;
        while (stop > 0 && (bytes[stop - 1] == '\n' || bytes[stop - 1] == '\r'))
            --stop;
        if (stop == 0)
            return;
        qsizetype begin = stop;
        while (begin > 0 && bytes[begin - 1] != '\n' && bytes[begin - 1] != '\r')
            --begin;
        if (!line(QByteArrayView(bytes.constData() + begin, stop - begin)))
            return;
        end = begin;
    }
}

} // namespace

double NewestRecordTime(const QString &dataRoot, quint16 serial, GapKind kind)
{
    for (const QString &path : FilesNewestFirst(dataRoot, serial, kind)) {
        // Lines stand in time order: the newest is found from the end.
        double newest = 0;
        EachLineFromEnd(ReadFileBytes(path), [&](QByteArrayView line) {
            double time = 0;
            qint64 slot = 0;
            if (ReadLineTimeBytes(line, &time) && GapSlotOf(kind, time, &slot))
                newest = std::max(newest, time);
            return newest == 0;
        });
        if (newest > 0)
            return newest;
    }
    return 0;
}

QList<MeterSummaryRow> BuildMeterSummary(const QString &dataRoot, Registry &registry, MeterHealth &health, double now)
{
    QList<MeterSummaryRow> rows;
    ProfileFile &ini = registry.file();
    const int overdueSetting = health.OverdueHoursSetting();
    for (int n : registry.MeterNumbers()) {
        const QString section = MeterSection(n);
        MeterSummaryRow row;
        row.meter = n;
        row.name = ini.ReadString(section, reg::kName);
        row.group = GroupName(registry, n);
        if (!ParseSerial(ini.ReadString(section, reg::kSerial), &row.serial))
            continue; // no serial that could name its files
        row.status = health.Read(row.serial);
        row.overdue = IsOverdue(row.status, ini.ReadString(section, reg::kSchedule), overdueSetting, now);
        try {
            for (GapKind kind : {GapKind::Hourly, GapKind::Daily, GapKind::Monthly}) {
                const int k = int(kind);
                row.newest[k] = NewestRecordTime(dataRoot, row.serial, kind);
                const double oldest = GapsBeginAt(row.status.collectionStart[k], OldestRecordTime(dataRoot, row.serial, kind));
                if (oldest <= 0)
                    continue;
                const qint64 reference = GapSlotFloor(kind, now);
                const int ring = row.status.ring[k] > 0 ? row.status.ring[k] : DefaultRingRecords(kind);
                const qint64 lo = std::max(reference - ring, GapSlotCeil(kind, oldest));
                // One scan serves both: the ring's reach and, for hours, the last 31 days.
                const qint64 from31 = reference - 31 * 24;
                const qint64 scanFrom = kind == GapKind::Hourly ? std::min(lo, from31) : lo;
                if (scanFrom > reference - 1)
                    continue;
                const QList<GapRun> runs = FindGaps(dataRoot, row.serial, kind,
                    GapSlotTime(kind, std::max(scanFrom, GapSlotCeil(kind, oldest))), GapSlotTime(kind, reference - 1));
                for (const GapRun &run : runs) {
                    qint64 first = 0, last = 0;
                    GapSlotOf(kind, run.first, &first);
                    GapSlotOf(kind, run.last, &last);
                    if (last >= lo)
                        row.gapsInRing = true;
                    if (kind == GapKind::Hourly && last >= from31)
                        row.missingHours31 += last - std::max(first, from31) + 1;
                }
            }
            // The last day's hourly records, read from the end of the newest files.
            const double dayAgo = now - 1;
            const QDate first = DateFromDayCount(dayAgo);
            const QDate last = DateFromDayCount(now);
            for (QDate m(first.year(), first.month(), 1); m <= last; m = m.addMonths(1)) {
                EachLineFromEnd(ReadFileBytes(DataFilePath(dataRoot, DataKind::Hourly, row.serial, m.year(), m.month())),
                    [&](QByteArrayView line) {
                        double time = 0;
                        if (!ReadLineTimeBytes(line, &time))
                            return true;
                        if (time < dayAgo)
                            return false;
                        ArchiveRecord r;
                        if (time <= now && TryParseArchiveLine(DecodeCp1251(line), &r)) {
                            for (int i = 0; i < 5; ++i) {
                                row.nsFlags |= r.ns[i];
                                row.nsWords[i] |= r.ns[i];
                            }
                        }
                        return true;
                    });
            }
        } catch (const StorageError &) {
            // A file that cannot be read shows as missing records, not as a failed summary.
        }
        rows.append(row);
    }
    return rows;
}

QJsonObject MeterSummaryJson(const MeterSummaryRow &r)
{
    auto time = [](double t) { return t > 0 ? QJsonValue(DateTimeFromDayCount(t).toString(Qt::ISODate)) : QJsonValue(); };
    QJsonObject o;
    o[QStringLiteral("name")] = r.name;
    o[QStringLiteral("serial")] = int(r.serial);
    o[QStringLiteral("group")] = r.group;
    o[QStringLiteral("lastAnswer")] = time(r.status.lastAnswer);
    o[QStringLiteral("lastFailure")] = time(r.status.lastFailure);
    o[QStringLiteral("failureText")] = r.status.failureText;
    o[QStringLiteral("failedPolls")] = r.status.failedPolls;
    o[QStringLiteral("newestHourly")] = time(r.newest[0]);
    o[QStringLiteral("newestDaily")] = time(r.newest[1]);
    o[QStringLiteral("newestMonthly")] = time(r.newest[2]);
    o[QStringLiteral("missingHours31Days")] = double(r.missingHours31);
    o[QStringLiteral("gapsInRing")] = r.gapsInRing;
    o[QStringLiteral("nsFlagsLastDay")] = r.nsFlags;
    o[QStringLiteral("overdue")] = r.overdue;
    return o;
}

} // namespace qst
