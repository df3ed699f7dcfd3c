#pragma once

#include "notify/Schedules.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <QHash>
#include <atomic>
#include <memory>

class QThread;

namespace qst {

// "Now" for the schedules: the wall clock, or for tests QST_NOTIFY_NOW (an ISO local date and
// time the process starts at, then running on with the real clock).
QDateTime NotifyNow();

// What one period of a schedule came to.
struct ScheduleOutcome
{
    SchedulePeriod period;
    bool documentsOk = false;  // every document (and PDF) written
    bool mailsOk = true;       // every mail accepted (or none to send)
    bool retryLater = false;   // nothing usable was done (the folder could not be made): try again
    QStringList files;         // written
    QStringList missing;       // what the period's records lack, one line per meter
    QStringList lines;         // for the log / the terminal
};

// Records of the period each meter of the group lacks ("100: нет 3 записей: 01.11.2026 – …"),
// by the storage's gap scan; empty when all are stored. A journal has no gaps to find.
QStringList ScheduleMissingRecords(const QString &dataRoot, const Schedule &schedule, const SchedulePeriod &period);

// Subject or body template with {serial} {name} {consumer} {from} {to} {period} put in.
struct TemplateValues
{
    QString serial, name, consumer, from, to, period;
};
QString FillTemplate(const QString &text, const TemplateValues &values);

class MailSender;

// Makes a schedule's documents for a period into its folder (the group reports' names), then
// queues a mail with all of them to the schedule's addresses and one per meter with its own
// document to the meter's address; with `sendNow` the queued mails are tried at once.
// `dryRun` writes and sends nothing and says what would be done.
ScheduleOutcome RunSchedulePeriod(const QString &dataRoot, const Schedule &schedule, const SchedulePeriod &period,
    const QDateTime &now, bool dryRun, bool sendNow, MailSender &sender);

// Every schedule's due periods, oldest first, each waiting for its records up to the grace
// time; the period is marked done once its documents are written and its mails queued.
class ScheduleRunner
{
public:
    explicit ScheduleRunner(const QString &dataRoot);
    // One pass at `now`: due schedules, then the outbox. Log lines go to *log.
    void Tick(const QDateTime &now, QStringList *log);

private:
    QString m_dataRoot;
    QHash<QString, QDateTime> m_retryAfter; // a schedule whose folder failed is tried again later
    QHash<QString, QString> m_waitingNoted; // period waited for, logged once
};

// The service's schedules on a worker thread of their own, so building documents never
// holds up polling: Tick() on the main thread starts a pass unless one is running.
class NotifyService : public QObject
{
    Q_OBJECT

public:
    explicit NotifyService(const QString &dataRoot, QObject *parent = nullptr);
    ~NotifyService() override;
    void Tick();

signals:
    void LogLine(const QString &line);

private:
    QString m_dataRoot;
    std::unique_ptr<QThread> m_thread;
    QObject *m_worker = nullptr;
    std::shared_ptr<ScheduleRunner> m_runner;
    std::shared_ptr<std::atomic<bool>> m_busy;
};

} // namespace qst
