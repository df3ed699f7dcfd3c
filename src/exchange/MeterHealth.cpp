#include "MeterHealth.h"

#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"

#include <QStringList>

#include <algorithm>

namespace qst {

namespace {

const QString kStatusSection = QStringLiteral("STATUS");
const QString kVersionKey = QStringLiteral("Version");
const QString kOverdueKey = QStringLiteral("OverdueHours");
const QString kLastOk = QStringLiteral("LastAnswer");
const QString kLastFail = QStringLiteral("LastFailure");
const QString kFailText = QStringLiteral("FailureText");
const QString kFails = QStringLiteral("FailedPolls");
const QString kLastPoll = QStringLiteral("LastPoll");
const QString kWatched = QStringLiteral("WatchedSince");
const QString kRingKeys[3] = {QStringLiteral("RingH"), QStringLiteral("RingD"), QStringLiteral("RingM")};
const QString kLostKeys[3] = {QStringLiteral("LostH"), QStringLiteral("LostD"), QStringLiteral("LostM")};
const QString kStartKeys[3] = {QStringLiteral("StartH"), QStringLiteral("StartD"), QStringLiteral("StartM")};
const QString kJournalDepth = QStringLiteral("JournalDepth");
const QString kJournalRetries = QStringLiteral("JournalRetries");

QString Section(quint16 serial)
{
    return QStringLiteral("S") + QString::number(serial);
}

double ReadTime(ProfileFile &f, const QString &section, const QString &key)
{
    const QString text = f.ReadString(section, key);
    if (text.isEmpty())
        return 0;
    const QDateTime t = ParseDateTimeText(text);
    return t.isValid() ? DayCountFromDateTime(t) : 0;
}

QString TimeText(double dayCount)
{
    return DateTimeText(dayCount);
}

// The file's own keys are written in one change; a fault leaves the file as it was.
void WriteStatus(ProfileFile::Edit &e, quint16 serial, const MeterStatus &s)
{
    const QString section = Section(serial);
    auto time = [&](const QString &key, double value) {
        if (value > 0)
            e.WriteString(section, key, TimeText(value));
    };
    time(kLastOk, s.lastAnswer);
    time(kLastFail, s.lastFailure);
    if (s.lastFailure > 0)
        e.WriteString(section, kFailText, s.failureText);
    e.WriteString(section, kFails, QString::number(s.failedPolls));
    time(kLastPoll, s.lastPoll);
    time(kWatched, s.watchedSince);
    for (int k = 0; k < 3; ++k) {
        if (s.ring[k] > 0)
            e.WriteString(section, kRingKeys[k], QString::number(s.ring[k]));
        time(kLostKeys[k], s.lostReported[k]);
        time(kStartKeys[k], s.collectionStart[k]);
    }
    if (s.journalDepth > 0 || !e.ReadString(section, kJournalDepth).isEmpty()) {
        e.WriteString(section, kJournalDepth, QString::number(s.journalDepth));
        e.WriteString(section, kJournalRetries, QString::number(s.journalRetries));
    }
}

} // namespace

MeterHealth::MeterHealth(const QString &dataRoot)
    : m_file(std::make_unique<ProfileFile>(FilePath(dataRoot)))
{
}

MeterHealth::~MeterHealth() = default;

QString MeterHealth::FilePath(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/Status.ini");
}

MeterStatus MeterHealth::Read(quint16 serial) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_pending.constFind(serial);
    return it != m_pending.cend() ? *it : ReadFile(serial);
}

MeterStatus MeterHealth::ReadFile(quint16 serial) const
{
    MeterStatus s;
    const QString section = Section(serial);
    try {
        ProfileFile &f = *m_file;
        s.lastAnswer = ReadTime(f, section, kLastOk);
        s.lastFailure = ReadTime(f, section, kLastFail);
        s.failureText = f.ReadString(section, kFailText);
        s.failedPolls = int(std::clamp<qint64>(f.ReadInteger(section, kFails, 0), 0, 1000000));
        s.lastPoll = ReadTime(f, section, kLastPoll);
        s.watchedSince = ReadTime(f, section, kWatched);
        for (int k = 0; k < 3; ++k) {
            s.ring[k] = int(std::clamp<qint64>(f.ReadInteger(section, kRingKeys[k], 0), 0, 65535));
            s.lostReported[k] = ReadTime(f, section, kLostKeys[k]);
            s.collectionStart[k] = ReadTime(f, section, kStartKeys[k]);
        }
        s.journalDepth = int(std::clamp<qint64>(f.ReadInteger(section, kJournalDepth, 0), 0, 65535));
        s.journalRetries = int(std::clamp<qint64>(f.ReadInteger(section, kJournalRetries, 0), 0, 1000));
    } catch (const StorageError &) {
        // Read what could be read.
    }
    return s;
}

int MeterHealth::OverdueHoursSetting() const
{
    try {
        return int(std::clamp<qint64>(m_file->ReadInteger(kStatusSection, kOverdueKey, 0), 0, 100000));
    } catch (const StorageError &) {
        return 0;
    }
}

MeterStatus &MeterHealth::PendingLocked(quint16 serial)
{
    auto it = m_pending.find(serial);
    if (it == m_pending.end())
        it = m_pending.insert(serial, ReadFile(serial));
    return *it;
}

void MeterHealth::PollQueued(quint16 serial, double now)
{
    std::lock_guard lock(m_mutex);
    MeterStatus &s = PendingLocked(serial);
    s.lastPoll = now;
    if (s.watchedSince <= 0)
        s.watchedSince = now;
}

void MeterHealth::Answered(quint16 serial, double now)
{
    std::lock_guard lock(m_mutex);
    MeterStatus &s = PendingLocked(serial);
    s.lastAnswer = now;
    s.failedPolls = 0;
}

void MeterHealth::Failed(quint16 serial, double now, const QString &text)
{
    std::lock_guard lock(m_mutex);
    MeterStatus &s = PendingLocked(serial);
    // One poll is several requests: only its first failure counts, and none once the
    // meter has answered in it.
    if (s.lastPoll <= 0 || (s.lastAnswer < s.lastPoll && s.lastFailure < s.lastPoll))
        ++s.failedPolls;
    s.lastFailure = now;
    s.failureText = text;
}

void MeterHealth::LearnRing(quint16 serial, GapKind kind, int records)
{
    std::lock_guard lock(m_mutex);
    PendingLocked(serial).ring[int(kind)] = records;
}

void MeterHealth::ReportedLost(quint16 serial, GapKind kind, double newestLost)
{
    std::lock_guard lock(m_mutex);
    PendingLocked(serial).lostReported[int(kind)] = newestLost;
}

void MeterHealth::CollectionRequested(quint16 serial, GapKind kind, double start)
{
    const double first = FirstRecordOfPeriod(kind, start);
    if (first <= 0)
        return;
    std::lock_guard lock(m_mutex);
    double &known = PendingLocked(serial).collectionStart[int(kind)];
    if (known <= 0 || DayCountToMs(first) < DayCountToMs(known))
        known = first;
}

void MeterHealth::SetJournalRetry(quint16 serial, int depth, int retries)
{
    std::lock_guard lock(m_mutex);
    MeterStatus &s = PendingLocked(serial);
    s.journalDepth = depth;
    s.journalRetries = retries;
}

void MeterHealth::Flush()
{
    QHash<quint16, MeterStatus> pending;
    {
        std::lock_guard lock(m_mutex);
        pending.swap(m_pending);
    }
    if (pending.isEmpty())
        return;
    try {
        m_file->Update([&](ProfileFile::Edit &e) {
            if (e.ReadString(kStatusSection, kVersionKey).isEmpty())
                e.WriteString(kStatusSection, kVersionKey, QStringLiteral("1"));
            for (auto it = pending.cbegin(); it != pending.cend(); ++it)
                WriteStatus(e, it.key(), it.value());
        });
    } catch (const StorageError &) {
        // Health is a report: a file that cannot be written never stops a poll. The
        // changes stay in memory and go with the next flush.
        std::lock_guard lock(m_mutex);
        for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
            if (!m_pending.contains(it.key()))
                m_pending.insert(it.key(), it.value());
        }
    }
}

double FirstRecordOfPeriod(GapKind kind, double start)
{
    if (!(start > 0) || DateFromDayCount(start).isNull())
        return 0;
    // The walk reads at the end of each interval: its first position is one step after the
    // start, and the record found there is that of the interval just ended (for months, the
    // month before the start's).
    const qint64 slot = GapSlotFloor(kind, start) - (kind == GapKind::Monthly ? 1 : 0);
    return GapSlotTime(kind, slot);
}

double GapsBeginAt(double collectionStart, double oldestStored)
{
    if (collectionStart <= 0)
        return std::max(oldestStored, 0.0);
    if (oldestStored <= 0)
        return collectionStart;
    return std::min(collectionStart, oldestStored);
}

int DefaultRingRecords(GapKind kind)
{
    switch (kind) {
    case GapKind::Hourly:
        return 62 * 24;
    case GapKind::Daily:
        return 366;
    case GapKind::Monthly:
        return 36;
    }
    return 0;
}

double OverdueThresholdHours(const QString &schedule, int settingHours)
{
    QList<int> minutes;
    const QStringList items = schedule.split(u'|');
    // Every item is the text before a "|"; the text after the last one is none.
    for (qsizetype i = 0; i + 1 < items.size(); ++i) {
        bool hourOk = false, minuteOk = false;
        const int h = items[i].mid(0, 2).toInt(&hourOk);
        const int m = items[i].mid(3, 2).toInt(&minuteOk);
        if (hourOk && minuteOk && h >= 0 && h < 24 && m >= 0 && m < 60)
            minutes.append(h * 60 + m);
    }
    std::sort(minutes.begin(), minutes.end());
    minutes.erase(std::unique(minutes.begin(), minutes.end()), minutes.end());
    if (minutes.isEmpty())
        return 0;
    if (settingHours > 0)
        return settingHours;
    if (minutes.size() == 1)
        return 26;
    int longest = minutes.first() + 1440 - minutes.last();
    for (qsizetype i = 1; i < minutes.size(); ++i)
        longest = std::max(longest, minutes[i] - minutes[i - 1]);
    return 2.0 * longest / 60.0;
}

bool IsOverdue(const MeterStatus &status, const QString &schedule, int settingHours, double now)
{
    const double threshold = OverdueThresholdHours(schedule, settingHours);
    if (threshold <= 0 || status.lastPoll <= 0)
        return false; // its schedule has not fired yet
    const double since = status.lastAnswer > 0 ? status.lastAnswer : status.watchedSince;
    if (since <= 0)
        return false;
    return DayCountToMs(now) - DayCountToMs(since) > qint64(threshold * 3600000.0);
}

} // namespace qst
