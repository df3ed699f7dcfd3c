#pragma once

#include "storage/GapScan.h"

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <mutex>

namespace qst {

class ProfileFile;

// What the exchange engine last learned of one meter.
struct MeterStatus
{
    double lastAnswer = 0;   // day count; 0 = never
    double lastFailure = 0;  // day count; 0 = never
    QString failureText;
    int failedPolls = 0;     // consecutive polls without an answer
    double lastPoll = 0;     // when its poll was last queued
    double watchedSince = 0; // when its poll was first queued: "never answered" counts from here
    int ring[3] = {};        // records the calculator's hourly, daily, monthly rings hold; 0 = not yet learned
    double lostReported[3] = {}; // newest record time already reported as gone from the ring, per kind
    // The first record time of the first period ever requested, per kind; 0 = never asked.
    // Records missing after it are gaps even before the oldest stored record: a first poll
    // whose reads failed lost them.
    double collectionStart[3] = {};
    // Journal positions a run with failed reads reached: the next run walks that far past
    // the first stored entry, for at most a few runs.
    int journalDepth = 0;
    int journalRetries = 0;
};

// The record time a kind's request period starting at `start` reads first.
double FirstRecordOfPeriod(GapKind kind, double start);
// Where a kind's gaps begin: the earlier of collection start and the oldest stored record
// (either may be 0 = none); 0 when neither is known.
double GapsBeginAt(double collectionStart, double oldestStored);

// The meters' health in Status.ini of the data root: a profile file of its own, so
// installations that do not know it ignore it. Every fault of the file (missing, damaged,
// unwritable, written by a newer build) is swallowed: health is a report, and polling must
// never stop for it. The exchange threads change it in memory; the engine's main thread
// writes the changes with Flush, so no poll waits for this file's disk writes.
class MeterHealth
{
public:
    explicit MeterHealth(const QString &dataRoot);
    ~MeterHealth();

    static QString FilePath(const QString &dataRoot);

    MeterStatus Read(quint16 serial) const;
    // The per-root overdue threshold in hours ([STATUS] OverdueHours); 0 = the schedule's rule.
    int OverdueHoursSetting() const;

    void PollQueued(quint16 serial, double now);
    void Answered(quint16 serial, double now);
    void Failed(quint16 serial, double now, const QString &text);
    void LearnRing(quint16 serial, GapKind kind, int records);
    void ReportedLost(quint16 serial, GapKind kind, double newestLost);
    // A period of a kind was requested from `start`: the first ever sets collection start;
    // an earlier one moves it back.
    void CollectionRequested(quint16 serial, GapKind kind, double start);
    void SetJournalRetry(quint16 serial, int depth, int retries);
    // Writes the changed meters' keys in one rewrite of the file.
    void Flush();

private:
    MeterStatus ReadFile(quint16 serial) const;
    MeterStatus &PendingLocked(quint16 serial);

    std::unique_ptr<ProfileFile> m_file;
    mutable std::mutex m_mutex;
    QHash<quint16, MeterStatus> m_pending;
};

// Default ring reach when a meter's ring has not been read yet: about two months of hours,
// a year of days, three years of months.
int DefaultRingRecords(GapKind kind);

// Hours without an answer after which a scheduled meter is overdue: the setting when above
// 0; else 26 h for one time a day, else two of the longest spans between its times. 0 for
// a meter without a schedule (it cannot be overdue).
double OverdueThresholdHours(const QString &schedule, int settingHours);
bool IsOverdue(const MeterStatus &status, const QString &schedule, int settingHours, double now);

} // namespace qst
