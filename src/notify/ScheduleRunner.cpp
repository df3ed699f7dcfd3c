#include "ScheduleRunner.h"

#include "MailOutbox.h"
#include "MailSender.h"
#include "MailSettingsFile.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "reports/OfficeConversion.h"
#include "reports/ReportBatch.h"
#include "reports/ReportTables.h"
#include "storage/GapScan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

namespace qst {

namespace {

const QString kDefaultSubject = QStringLiteral("Отчёт за {period}: {name} (№ {serial})");
const QString kDefaultBody = QStringLiteral("Документы за период с {from} по {to} во вложении.");

int ReportKindOf(const Schedule &s)
{
    static const QStringList kinds = {QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
        QStringLiteral("journal")};
    const int k = int(kinds.indexOf(s.kind));
    return k < 0 ? kDailyReport : k;
}

bool IsStatement(const Schedule &s)
{
    return s.kind == QStringLiteral("statement");
}

ReportOptions OptionsOf(const QString &dataRoot, const Schedule &s, const SchedulePeriod &period)
{
    // The same selection "qst-cli report" makes from its options: dates at 12:00.
    ReportOptions o;
    o.selection.dataRoot = dataRoot;
    o.selection.kind = ReportKindOf(s);
    o.selection.heatSystem = s.system - 1;
    o.selection.from = QDateTime(period.from, QTime(12, 0));
    o.selection.to = QDateTime(period.to, QTime(12, 0));
    for (int i : s.items) {
        if (i >= 0 && i < o.selection.ItemCount())
            (o.selection.heatSystem == kColdWater ? o.selection.ts3[i] : o.selection.ts2[i]) = true;
    }
    o.orientation = s.landscape ? 1 : 0;
    o.showIntegrators = true;
    o.detail = false;
    o.detailVisible = o.selection.kind == kHourlyReport;
    o.breakPages = true;
    return o;
}

QString GroupName(Registry &registry, int group)
{
    if (group == 0)
        return QStringLiteral("все приборы");
    return registry.file().ReadString(GroupSection(group), reg::kName).trimmed();
}

struct MeterFiles
{
    int meter = 0;
    QString serial, name, consumer, mail;
    QStringList files;
};

QString MimeName(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

QDateTime NotifyNow()
{
    static const QDateTime start = [] {
        const QString text = qEnvironmentVariable("QST_NOTIFY_NOW");
        return text.isEmpty() ? QDateTime() : QDateTime::fromString(text, Qt::ISODate);
    }();
    static QElapsedTimer running = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    if (!start.isValid())
        return QDateTime::currentDateTime();
    return start.addMSecs(running.elapsed());
}

QString FillTemplate(const QString &text, const TemplateValues &v)
{
    QString out;
    static const QStringList names = {QStringLiteral("serial"), QStringLiteral("name"), QStringLiteral("consumer"),
        QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("period")};
    const QStringList values = {v.serial, v.name, v.consumer, v.from, v.to, v.period};
    // One pass, so a value holding "{name}" is not replaced again.
    for (qsizetype i = 0; i < text.size(); ++i) {
        bool replaced = false;
        if (text[i] == u'{') {
            for (qsizetype n = 0; n < names.size(); ++n) {
                const QString token = u'{' + names[n] + u'}';
                if (QStringView(text).mid(i).startsWith(token)) {
                    out += values[n];
                    i += token.size() - 1;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i];
    }
    return out;
}

QStringList ScheduleMissingRecords(const QString &dataRoot, const Schedule &s, const SchedulePeriod &period)
{
    QStringList lines;
    if (s.kind == QStringLiteral("journal"))
        return lines;
    const GapKind kind = s.kind == QStringLiteral("hourly") ? GapKind::Hourly
        : s.kind == QStringLiteral("monthly")               ? GapKind::Monthly
                                                            : GapKind::Daily;
    Registry registry(TreeIniPath(dataRoot));
    const double from = DayCountFromDate(period.from);
    const double to = DayCountFromDate(period.to) + 23.0 / 24.0;
    for (int meter : GroupMeters(registry, s.group)) {
        const ReportMeter m = ReadReportMeter(registry, meter);
        quint16 serial = 0;
        if (!ParseSerial(m.serial, &serial))
            continue;
        const QList<GapRun> runs = FindGaps(dataRoot, serial, kind, from, to);
        const qint64 missing = MissingCount(runs);
        if (missing == 0)
            continue;
        QStringList spans;
        for (qsizetype i = 0; i < runs.size() && i < 3; ++i)
            spans << (runs[i].count == 1 ? DateTimeText(runs[i].first)
                                         : DateTimeText(runs[i].first) + QStringLiteral(" – ")
                              + DateTimeText(runs[i].last));
        if (runs.size() > 3)
            spans << QStringLiteral("…");
        lines << QStringLiteral("%1 %2: нет записей: %3 (%4)").arg(m.serial, m.name).arg(missing).arg(spans.join(
                     QStringLiteral(", ")));
    }
    return lines;
}

ScheduleOutcome RunSchedulePeriod(const QString &dataRoot, const Schedule &s, const SchedulePeriod &period,
    const QDateTime &now, bool dryRun, bool sendNow, MailSender &sender)
{
    ScheduleOutcome out;
    out.period = period;
    const QString periodText = PeriodText(s.period, period);
    out.lines << QStringLiteral("Расписание %1: период %2").arg(s.name, periodText);
    try {
        out.missing = ScheduleMissingRecords(dataRoot, s, period);
    } catch (const StorageError &e) {
        out.missing << e.message();
    }
    for (const QString &m : std::as_const(out.missing))
        out.lines << QStringLiteral("  ") + m;

    Registry registry(TreeIniPath(dataRoot));
    const ReportOptions options = OptionsOf(dataRoot, s, period);
    const QString pattern = s.pattern.isEmpty() ? kDefaultBatchPattern : s.pattern;
    const QList<int> meters = GroupMeters(registry, s.group);
    if (dryRun) {
        for (int meter : meters) {
            const ReportMeter m = ReadReportMeter(registry, meter);
            const QString file = QDir(s.outDir).filePath(
                BatchFileName(pattern, m, options.selection.from, options.selection.to));
            const QString mail = ReadMeterMail(registry, meter);
            out.lines << QStringLiteral("  документ: %1%2").arg(file, mail.isEmpty() ? QString() : QStringLiteral(" → ") + mail);
        }
        if (!s.mail.isEmpty())
            out.lines << QStringLiteral("  письмо со всеми документами: %1").arg(s.mail.join(QStringLiteral(", ")));
        out.lines << QStringLiteral("  (проверка: ничего не записано и не отправлено)");
        out.documentsOk = true;
        return out;
    }

    if (!QDir().mkpath(s.outDir)) {
        out.lines << QStringLiteral("  Не удалось создать папку %1").arg(QDir::toNativeSeparators(s.outDir));
        out.retryLater = true;
        return out;
    }
    const BatchResult batch = BuildGroupReports(registry, s.group, options, IsStatement(s), s.outDir, pattern, true);
    out.documentsOk = !batch.items.isEmpty();
    if (batch.items.isEmpty())
        out.lines << QStringLiteral("  в группе %1 нет приборов").arg(s.group);
    QStringList refusals;
    QList<MeterFiles> perMeter;
    for (const BatchItem &item : batch.items) {
        MeterFiles mf;
        mf.meter = item.meter;
        mf.serial = item.serial;
        mf.name = item.name;
        mf.consumer = registry.file().ReadString(MeterSection(item.meter), reg::kAbonNo).trimmed();
        mf.mail = ReadMeterMail(registry, item.meter);
        if (!item.written) {
            out.documentsOk = false;
            refusals << QStringLiteral("%1 %2: документ не составлен: %3").arg(item.serial, item.name, item.reason);
            // A period the records refuse is final; a document that could not be saved is not.
            ReportSelection check = options.selection;
            check.serial = item.serial;
            if (IsStatement(s))
                ApplyStatementSelection(check);
            if (CheckPeriod(check, now).isEmpty())
                out.retryLater = true;
            perMeter << mf;
            continue;
        }
        mf.files << item.file;
        out.files << item.file;
        if (s.pdf) {
            QTemporaryDir work(QDir::temp().filePath(QStringLiteral("qst-schedule-XXXXXX")));
            QString converted;
            QString error;
            const QString pdf = QFileInfo(item.file).absolutePath() + u'/' + QFileInfo(item.file).completeBaseName()
                + QStringLiteral(".pdf");
            if (work.isValid() && ConvertWithOffice(QFileInfo(item.file).absoluteFilePath(), QStringLiteral("pdf"),
                                      work.path(), &converted, &error)) {
                try {
                    SaveFileBytes(pdf, ReadFileBytes(converted));
                    mf.files << pdf;
                    out.files << pdf;
                } catch (const StorageError &e) {
                    error = e.message();
                }
            }
            if (!mf.files.contains(pdf)) {
                out.documentsOk = false;
                refusals << QStringLiteral("%1 %2: нет PDF: %3").arg(item.serial, item.name,
                                                                   work.isValid() ? error : work.errorString());
            }
        }
        perMeter << mf;
    }
    if (out.retryLater) {
        out.lines << refusals;
        out.lines << QStringLiteral("  документы будут составлены снова через 10 минут");
        return out;
    }
    for (const QString &f : std::as_const(out.files))
        out.lines << QStringLiteral("  записан: %1").arg(QDir::toNativeSeparators(f));
    for (const QString &r : std::as_const(refusals))
        out.lines << QStringLiteral("  ") + r;

    // The mails: queued first (kept across a restart), then tried when asked to.
    const MailSettings settings = ReadMailSettings(dataRoot);
    MailOutbox outbox(dataRoot);
    QStringList queued;
    const QString from = DateText(period.from);
    const QString to = DateText(period.to);
    QString notes;
    if (!out.missing.isEmpty())
        notes += QStringLiteral("\n\nЗа период сохранены не все записи:\n") + out.missing.join(u'\n');
    if (!refusals.isEmpty())
        notes += QStringLiteral("\n\nНе составлено:\n") + refusals.join(u'\n');
    const auto queue = [&](const QStringList &to_, const TemplateValues &v, const QStringList &files,
                           const QString &idTail) {
        if (!settings.IsSet()) {
            out.mailsOk = false;
            out.lines << QStringLiteral("  почта не настроена (qst-cli mail set): письмо для %1 не отправлено")
                             .arg(to_.join(QStringLiteral(", ")));
            return;
        }
        MailMessage message;
        message.to = to_;
        message.subject = FillTemplate(s.subject.isEmpty() ? kDefaultSubject : s.subject, v);
        message.body = FillTemplate(s.body.isEmpty() ? kDefaultBody : s.body, v) + notes + u'\n';
        for (const QString &f : files) {
            try {
                message.attachments << MailAttachment{MimeName(f), ReadFileBytes(f), {}};
            } catch (const StorageError &e) {
                out.mailsOk = false;
                out.lines << QStringLiteral("  ") + e.message();
                return;
            }
        }
        QString error;
        const QString id = QStringLiteral("schedule|%1|%2|%3").arg(s.name, period.from.toString(Qt::ISODate), idTail);
        try {
            if (outbox.Enqueue(settings, message, now, QStringLiteral("расписание ") + s.name, id, &error).isEmpty()) {
                out.mailsOk = false;
                out.lines << QStringLiteral("  письмо не составлено: ") + error;
                return;
            }
        } catch (const StorageError &e) {
            out.mailsOk = false;
            out.lines << QStringLiteral("  письмо не сохранено: ") + e.message();
            return;
        }
        queued << id;
        out.lines << QStringLiteral("  письмо для %1: %2 вложений").arg(to_.join(QStringLiteral(", "))).arg(files.size());
    };
    if (!s.mail.isEmpty()) {
        TemplateValues v;
        QStringList serials, consumers;
        for (const MeterFiles &mf : std::as_const(perMeter)) {
            serials << mf.serial;
            if (!mf.consumer.isEmpty())
                consumers << mf.consumer;
        }
        v.serial = serials.join(QStringLiteral(", "));
        v.name = GroupName(registry, s.group);
        v.consumer = consumers.join(QStringLiteral(", "));
        v.from = from;
        v.to = to;
        v.period = periodText;
        queue(s.mail, v, out.files, QStringLiteral("group"));
    }
    for (const MeterFiles &mf : std::as_const(perMeter)) {
        if (mf.mail.isEmpty())
            continue;
        QString error;
        const QStringList to_ = ParseMailList(mf.mail, &error);
        if (to_.isEmpty()) {
            out.mailsOk = false;
            out.lines << QStringLiteral("  %1: %2").arg(mf.serial, error.isEmpty() ? QStringLiteral("нет адреса") : error);
            continue;
        }
        queue(to_, TemplateValues{mf.serial, mf.name, mf.consumer, from, to, periodText}, mf.files,
            QStringLiteral("meter ") + mf.serial);
    }
    if (sendNow && !queued.isEmpty()) {
        QStringList log;
        outbox.DeliverDue(sender, settings, now.addSecs(1), &log);
        for (const QString &l : std::as_const(log))
            out.lines << QStringLiteral("  ") + l;
        for (const QString &id : std::as_const(queued)) {
            if (outbox.Contains(id))
                out.mailsOk = false;
        }
    }
    return out;
}

ScheduleRunner::ScheduleRunner(const QString &dataRoot)
    : m_dataRoot(dataRoot)
{
}

void ScheduleRunner::Tick(const QDateTime &now, QStringList *log)
{
    ScheduleStore store(m_dataRoot);
    MailSender sender;
    QList<Schedule> schedules;
    try {
        schedules = store.List();
    } catch (const StorageError &e) {
        *log << QStringLiteral("Расписания: ") + e.message();
    }
    for (const Schedule &listed : std::as_const(schedules)) {
        if (m_retryAfter.contains(listed.name) && now < m_retryAfter.value(listed.name))
            continue;
        // Oldest first: a period waits for its records, and the later ones wait behind it.
        for (int guard = 0; guard < 400; ++guard) {
            Schedule s;
            if (!store.Find(listed.name, &s) || !ScheduleError(s).isEmpty())
                break;
            SchedulePeriod next;
            if (s.lastPeriod.isValid()) {
                next = NextPeriod(s.period, PeriodHolding(s.period, s.lastPeriod));
            } else {
                const QDateTime created = s.created.isValid() ? s.created : now;
                next = NextPeriod(s.period, LatestDuePeriod(s.period, s.day, s.at, created));
            }
            const QDateTime due = PeriodDueTime(s.period, s.day, s.at, next);
            if (due > now)
                break;
            QStringList missing;
            try {
                missing = ScheduleMissingRecords(m_dataRoot, s, next);
            } catch (const StorageError &e) {
                missing << e.message();
            }
            const QString waitKey = s.name + u'|' + next.from.toString(Qt::ISODate);
            if (!missing.isEmpty() && now < due.addSecs(qint64(s.graceHours) * 3600)) {
                if (m_waitingNoted.value(s.name) != waitKey) {
                    m_waitingNoted.insert(s.name, waitKey);
                    *log << QStringLiteral("Расписание %1: период %2 ждёт записей до %3")
                                .arg(s.name, PeriodText(s.period, next),
                                    DateTimeText(due.addSecs(qint64(s.graceHours) * 3600)));
                }
                break;
            }
            const ScheduleOutcome outcome = RunSchedulePeriod(m_dataRoot, s, next, now, false, false, sender);
            *log << outcome.lines;
            if (outcome.retryLater) {
                m_retryAfter.insert(s.name, now.addSecs(600));
                try {
                    store.SetResult(s.name, outcome.lines.value(1).trimmed());
                } catch (const StorageError &) {
                }
                break;
            }
            const QString result = QStringLiteral("%1: %2, документов %3%4")
                                       .arg(DateTimeText(now), PeriodText(s.period, next))
                                       .arg(outcome.files.size())
                                       .arg(outcome.documentsOk ? QString() : QStringLiteral(", есть отказы"));
            try {
                store.MarkDone(s.name, next, result);
            } catch (const StorageError &e) {
                *log << QStringLiteral("Расписание %1: ").arg(s.name) + e.message();
                m_retryAfter.insert(s.name, now.addSecs(600));
                break;
            }
        }
    }
    try {
        const MailSettings settings = ReadMailSettings(m_dataRoot);
        if (settings.IsSet())
            MailOutbox(m_dataRoot).DeliverDue(sender, settings, now, log);
    } catch (const StorageError &e) {
        *log << QStringLiteral("Почта: ") + e.message();
    }
}

NotifyService::NotifyService(const QString &dataRoot, QObject *parent)
    : QObject(parent)
    , m_dataRoot(dataRoot)
    , m_thread(std::make_unique<QThread>())
    , m_worker(new QObject)
    , m_runner(std::make_shared<ScheduleRunner>(dataRoot))
    , m_busy(std::make_shared<std::atomic<bool>>(false))
{
    m_worker->moveToThread(m_thread.get());
    connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start(QThread::LowPriority);
}

NotifyService::~NotifyService()
{
    m_thread->quit();
    m_thread->wait();
}

void NotifyService::Tick()
{
    if (m_busy->exchange(true))
        return;
    QMetaObject::invokeMethod(m_worker, [this, runner = m_runner, busy = m_busy] {
        QStringList log;
        try {
            runner->Tick(NotifyNow(), &log);
        } catch (const StorageError &e) {
            log << QStringLiteral("Расписания: ") + e.message();
        } catch (const std::exception &e) {
            log << QStringLiteral("Расписания: %1").arg(QString::fromLocal8Bit(e.what()));
        }
        for (const QString &line : std::as_const(log))
            emit LogLine(line);
        busy->store(false);
    });
}

} // namespace qst
