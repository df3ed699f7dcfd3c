#include "RecordWriters.h"

#include "RecordFeed.h"

#include "ArchiveFiles.h"
#include "MeterWriteLock.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "registry/Registry.h"

#include <cmath>

namespace qst {

namespace {

// Minutes to hours as the current-values file holds them.
double Hours(float minutes)
{
    return static_cast<double>(minutes) * (1.0 / 60.0);
}

QString R(double v)
{
    return FormatReal(v);
}

QString R(float v)
{
    return FormatReal(static_cast<double>(v));
}

void AddHistoryBody(LineBuilder &b, int version, const float *F, const double *D, const quint16 *NS)
{
    for (int i = 0; i <= 9; ++i)
        b.Real(F[i]);
    for (int i = 0; i < kDCount; ++i)
        b.Real(D[i]);
    for (int i = 10; i <= 20; ++i)
        b.Real(F[i]);
    for (int i = 0; i < kNSCount; ++i)
        b.Int(NS[i]);
    const int last = version == 2 ? 38 : 26;
    for (int i = 21; i <= last; ++i)
        b.Real(F[i]);
}

QDateTime MarkClock(const StorageTarget &target)
{
    return target.now.isValid() ? target.now : QDateTime::currentDateTime();
}

void AdvanceDateTimeMark(Registry &registry, int section, const QString &key, double time)
{
    ProfileFile &ini = registry.file();
    const QString name = MeterSection(section);
    const QDateTime stored = ini.ReadDateTime(name, key, QDateTime(QDate(1899, 12, 30), QTime(0, 0)));
    if (TimeKey(time) > TimeKey(DayCountFromDateTime(stored)))
        ini.WriteDateTime(name, key, DateTimeFromDayCount(time));
}

void AdvanceDateMark(Registry &registry, int section, const QString &key, double time)
{
    ProfileFile &ini = registry.file();
    const QString name = MeterSection(section);
    const QDate stored = ini.ReadDate(name, key, QDate(1899, 12, 30));
    const QDate date = DateFromDayCount(time);
    if (date.isValid() && date > stored)
        ini.WriteDate(name, key, date);
}

} // namespace

bool BeyondLatestPossible(double time, const QDateTime &now)
{
    return DayCountToMs(time) > DayCountToMs(DayCountFromDateTime(now) + 1);
}

int FindSection(const StorageTarget &target, quint16 serial, int sectionNumber)
{
    if (sectionNumber > 0 || !target.registry)
        return sectionNumber;
    return target.registry->FindMeterBySerialText(serial);
}

void AdvanceArchiveMark(const StorageTarget &target, int section, int kind, double time)
{
    if (section <= 0 || !target.registry || BeyondLatestPossible(time, MarkClock(target)))
        return;
    if (kind == kHourlyArchive)
        AdvanceDateTimeMark(*target.registry, section, reg::kLastH, time);
    else
        AdvanceDateMark(*target.registry, section, kind == kDailyArchive ? reg::kLastD : reg::kLastM, time);
}

void AdvanceJournalMark(const StorageTarget &target, int section, double time)
{
    if (section > 0 && target.registry && !BeyondLatestPossible(time, MarkClock(target)))
        AdvanceDateTimeMark(*target.registry, section, reg::kLastJ, time);
}

QString ArchiveFilePath(const QString &dataRoot, quint16 serial, int kind, double time)
{
    const QDate day = DateFromDayCount(time);
    const DataKind fileKind =
        kind == kHourlyArchive ? DataKind::Hourly : (kind == kDailyArchive ? DataKind::Daily : DataKind::Monthly);
    return DataFilePath(dataRoot, fileKind, serial, day.year(), day.month());
}

QString HistoryFilePath(const QString &dataRoot, quint16 serial, double time)
{
    const QDate day = DateFromDayCount(time);
    return DataFilePath(dataRoot, DataKind::History, serial, day.year(), day.month());
}

double JournalLineTime(double date, double timeOfDay)
{
    QDate day;
    QTime time;
    if (SplitDayCount(date, &day, nullptr) && SplitDayCount(timeOfDay, nullptr, &time))
        return DayCountFromParts(day, time);
    return 0;
}

namespace {

template <typename T>
bool AllFinite(const T *values, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]))
            return false;
    }
    return true;
}

void RefuseUnstorable(bool storable)
{
    if (!storable)
        throw StorageError(QStringLiteral("запись содержит недопустимые значения (не числа) и не сохранена"));
}

} // namespace

bool Storable(const CurrentValues &v)
{
    const float limits[] = {v.TCold_Summer, v.TCold_Winter, v.GMin1, v.GMin2, v.GMax1, v.GMax2};
    return AllFinite(v.F, kFCount) && AllFinite(v.D, kDCount) && AllFinite(limits, 6) && std::isfinite(v.time);
}

bool Storable(const ArchiveValues &v)
{
    return AllFinite(v.F, kFCount) && std::isfinite(v.time);
}

bool Storable(const TotalsSnapshot &v)
{
    return AllFinite(v.F, kFCount) && AllFinite(v.D, kDCount);
}

QString NsPairText(quint16 first, quint16 second)
{
    return QStringLiteral("НС1: ") + QString::number(first) + QStringLiteral(" НС2: ") + QString::number(second);
}

QString NsSingleText(quint16 word)
{
    return QStringLiteral("НС: ") + QString::number(word);
}

QString BuildHistoryLine(int version, const CurrentValues &values)
{
    LineBuilder b;
    b.Time(values.time);
    AddHistoryBody(b, version, values.F, values.D, values.NS);
    return b.line();
}

QString BuildSnapshotHistoryLine(const TotalsSnapshot &snapshot, double time)
{
    // Only the totals and the counters: rates, temperatures, pressures and words are zero.
    float F[kFCount] = {};
    for (int i = 21; i <= 38; ++i)
        F[i] = snapshot.F[i];
    const quint16 NS[kNSCount] = {};
    LineBuilder b;
    b.Time(time);
    AddHistoryBody(b, 2, F, snapshot.D, NS);
    return b.line();
}

QString BuildArchiveLine(int version, const ArchiveValues &values)
{
    LineBuilder b;
    b.Time(values.time);
    for (int i = 0; i <= 20; ++i)
        b.Real(values.F[i]);
    b.Int(static_cast<qint8>(values.status));
    for (int i = 0; i < kNSCount; ++i)
        b.Int(values.NS[i]);
    const int last = version == 2 ? 38 : 26;
    for (int i = 21; i <= last; ++i)
        b.Real(values.F[i]);
    return b.line();
}

void SaveCurrentValues(const StorageTarget &target, int version, quint16 serial, bool overwrite,
                       const CurrentValues &v)
{
    RefuseUnstorable(Storable(v));
    MeterWriteLock lock(serial);
    const QDate day = DateFromDayCount(v.time);
    const QString historyLine = BuildHistoryLine(version, v);
    if (InsertArchiveLine(DataFilePath(target.dataRoot, DataKind::History, serial, day.year(), day.month()),
                          historyLine, v.time, overwrite))
        FeedStored(target.dataRoot, {FedRecord{FedKind::History, serial, historyLine}});

    QList<std::pair<QString, QString>> keys = {
        {QStringLiteral("DTFloat"), R(v.time)},
        {QStringLiteral("DT"), DateTimeText(v.time)},
        {QStringLiteral("Q1"), R(v.D[0])},
        {QStringLiteral("Q2"), R(v.D[1])},
        {QStringLiteral("G1"), R(v.F[10])},
        {QStringLiteral("G2"), R(v.F[11])},
        {QStringLiteral("M11"), R(v.D[2])},
        {QStringLiteral("M12"), R(v.D[3])},
        {QStringLiteral("M21"), R(v.D[4])},
        {QStringLiteral("M22"), R(v.D[5])},
        {QStringLiteral("Fm11"), R(v.F[12])},
        {QStringLiteral("Fm12"), R(v.F[13])},
        {QStringLiteral("Fm21"), R(v.F[14])},
        {QStringLiteral("Fm22"), R(v.F[15])},
        {QStringLiteral("V11"), R(v.D[6])},
        {QStringLiteral("V12"), R(v.D[7])},
        {QStringLiteral("V21"), R(v.D[8])},
        {QStringLiteral("V22"), R(v.D[9])},
        {QStringLiteral("V3"), R(v.D[10])},
        {QStringLiteral("Fv11"), R(v.F[16])},
        {QStringLiteral("Fv12"), R(v.F[17])},
        {QStringLiteral("Fv21"), R(v.F[18])},
        {QStringLiteral("Fv22"), R(v.F[19])},
        {QStringLiteral("Fv3"), R(v.F[20])},
        {QStringLiteral("T11"), R(v.F[0])},
        {QStringLiteral("T12"), R(v.F[1])},
        {QStringLiteral("T21"), R(v.F[2])},
        {QStringLiteral("T22"), R(v.F[3])},
        {QStringLiteral("P11"), R(v.F[6])},
        {QStringLiteral("P12"), R(v.F[7])},
        {QStringLiteral("P21"), R(v.F[8])},
        {QStringLiteral("P22"), R(v.F[9])},
        {QStringLiteral("TCold_Summer"), R(v.TCold_Summer)},
        {QStringLiteral("TCold_Winter"), R(v.TCold_Winter)},
        {QStringLiteral("Scheme1"), FormatInt(v.Scheme1)},
        {QStringLiteral("Scheme2"), FormatInt(v.Scheme2)},
        {QStringLiteral("Tw1"), R(Hours(v.F[21]))},
        {QStringLiteral("Ts1"), R(Hours(v.F[22]))},
        {QStringLiteral("Tw2"), R(Hours(v.F[23]))},
        {QStringLiteral("Ts2"), R(Hours(v.F[24]))},
        {QStringLiteral("Tw3"), R(Hours(v.F[25]))},
        {QStringLiteral("Ts3"), R(Hours(v.F[26]))},
        {QStringLiteral("NS1"), NsPairText(v.NS[0], v.NS[1])},
        // The labels repeat those of NS1: files and views already carry them so.
        {QStringLiteral("NS2"), NsPairText(v.NS[2], v.NS[3])},
        {QStringLiteral("NS3"), NsSingleText(v.NS[4])},
        {QStringLiteral("GMin1"), R(v.GMin1)},
        {QStringLiteral("GMin2"), R(v.GMin2)},
    };
    if (version == 2) {
        keys.append({QStringLiteral("GMax1"), R(v.GMax1)});
        keys.append({QStringLiteral("GMax2"), R(v.GMax2)});
        keys.append({QStringLiteral("Version"), FormatInt(2)});
        static const char *const counters[] = {"Tnorm1", "Tmin1", "Tmax1", "Tdt1", "Tep1", "Tf1",
                                               "Tnorm2", "Tmin2", "Tmax2", "Tdt2", "Tep2", "Tf2"};
        for (int i = 0; i < 12; ++i)
            keys.append({QString::fromLatin1(counters[i]), R(Hours(v.F[27 + i]))});
    }
    ProfileFile file(DataFilePath(target.dataRoot, DataKind::CurrentValues, serial));
    WriteCurrentValuesIfNewer(file, v.time, keys);
}

void SaveCurrentSnapshot(const StorageTarget &target, quint16 serial, bool overwrite, const TotalsSnapshot &snapshot,
                         double time)
{
    RefuseUnstorable(Storable(snapshot));
    MeterWriteLock lock(serial);
    const QString line = BuildSnapshotHistoryLine(snapshot, time);
    if (InsertArchiveLine(HistoryFilePath(target.dataRoot, serial, time), line, time, overwrite))
        FeedStored(target.dataRoot, {FedRecord{FedKind::History, serial, line}});
}

bool SaveArchiveLine(const StorageTarget &target, int version, quint16 serial, bool overwrite, int sectionNumber,
                     int kind, const ArchiveValues &values, bool advanceMark)
{
    RefuseUnstorable(Storable(values));
    MeterWriteLock lock(serial);
    const QString line = BuildArchiveLine(version, values);
    const bool stored = InsertArchiveLine(ArchiveFilePath(target.dataRoot, serial, kind, values.time), line,
                                          values.time, overwrite, true);
    if (stored)
        FeedStored(target.dataRoot, {FedRecord{FedKindOfArchive(kind), serial, line}});
    if (advanceMark)
        AdvanceArchiveMark(target, FindSection(target, serial, sectionNumber), kind, values.time);
    return stored;
}

bool SaveJournalLine(const StorageTarget &target, quint16 serial, int sectionNumber, double date, double timeOfDay,
                     const QString &recordText, const QString &oldValue, const QString &newValue)
{
    MeterWriteLock lock(serial);
    const double at = JournalLineTime(date, timeOfDay);
    const QString line = BuildJournalLine(at, recordText, oldValue, newValue);
    const bool duplicate = InsertJournalLine(DataFilePath(target.dataRoot, DataKind::Journal, serial), line, at);
    if (!duplicate)
        FeedStored(target.dataRoot, {FedRecord{FedKind::Journal, serial, line}});
    AdvanceJournalMark(target, FindSection(target, serial, sectionNumber), at);
    return duplicate;
}

} // namespace qst
