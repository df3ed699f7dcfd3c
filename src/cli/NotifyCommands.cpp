#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "notify/MailOutbox.h"
#include "notify/MailSender.h"
#include "notify/MailSettingsFile.h"
#include "notify/ScheduleRunner.h"
#include "notify/Schedules.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "reports/ReportTables.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace qst::cli {

namespace {

// --name VALUE pairs, bare flags and plain words, in any order.
struct Words
{
    QHash<QString, QString> values;
    QSet<QString> flags;
    QStringList plain;
    QString bad;
};

Words ReadWords(const QStringList &args, const QStringList &valued, const QStringList &flags)
{
    Words w;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        if (valued.contains(a)) {
            if (i + 1 >= args.size()) {
                w.bad = a;
                break;
            }
            w.values.insert(a, args[++i]);
        } else if (flags.contains(a)) {
            w.flags.insert(a);
        } else if (a.startsWith(QStringLiteral("--"))) {
            w.bad = a;
            break;
        } else {
            w.plain << a;
        }
    }
    return w;
}

int Failed(const QString &text)
{
    PrintLine(stderr, text);
    return kExitFailed;
}

} // namespace

int RunMailSet(const CliContext &context)
{
    const Words w = ReadWords(context.args,
        {QStringLiteral("--host"), QStringLiteral("--port"), QStringLiteral("--security"), QStringLiteral("--from"),
            QStringLiteral("--user"), QStringLiteral("--password-file"), QStringLiteral("--ca-file")},
        {QStringLiteral("--insecure")});
    if (!w.bad.isEmpty() || !w.plain.isEmpty())
        return UsageError(QStringLiteral("mail set: unknown or incomplete option %1 (see qst-cli --help)")
                              .arg(w.bad.isEmpty() ? w.plain.first() : w.bad));
    MailSettings s;
    s.host = w.values.value(QStringLiteral("--host")).trimmed();
    bool ok = false;
    s.port = w.values.value(QStringLiteral("--port"), QStringLiteral("587")).toInt(&ok);
    if (!ok)
        s.port = 0;
    s.security = w.values.value(QStringLiteral("--security"), QStringLiteral("starttls")).trimmed().toLower();
    s.from = w.values.value(QStringLiteral("--from")).trimmed();
    s.user = w.values.value(QStringLiteral("--user"));
    s.passwordFile = w.values.value(QStringLiteral("--password-file"));
    if (!s.passwordFile.isEmpty())
        s.passwordFile = QFileInfo(s.passwordFile).absoluteFilePath();
    s.caFile = w.values.value(QStringLiteral("--ca-file"));
    if (!s.caFile.isEmpty())
        s.caFile = QFileInfo(s.caFile).absoluteFilePath();
    s.verifyPeer = !w.flags.contains(QStringLiteral("--insecure"));
    if (const QString e = MailSettingsError(s); !e.isEmpty())
        return UsageError(QStringLiteral("mail set: ") + e);
    if (!s.user.isEmpty()) {
        QString password, error, warning;
        if (!ReadMailPassword(s, &password, &error, &warning))
            return Failed(QStringLiteral("mail set: ") + error);
        if (!warning.isEmpty())
            PrintLine(stderr, QStringLiteral("mail set: предупреждение: ") + warning);
    }
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        WriteMailSettings(context.dataRoot, s);
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
    if (!s.verifyPeer)
        PrintLine(stderr, QStringLiteral("mail set: предупреждение: сертификат сервера не проверяется (--insecure)"));
    return kExitOk;
}

int RunMailTest(const CliContext &context)
{
    const Words w = ReadWords(context.args, {}, {});
    if (!w.bad.isEmpty() || w.plain.size() != 1)
        return UsageError(QStringLiteral("usage: mail test ADDRESS"));
    const MailSettings s = ReadMailSettings(context.dataRoot);
    if (const QString e = MailSettingsError(s); !e.isEmpty())
        return Failed(QStringLiteral("mail test: почта не настроена (qst-cli mail set): ") + e);
    if (const QString e = MailAddressError(w.plain.first()); !e.isEmpty())
        return UsageError(QStringLiteral("mail test: ") + e);
    QString password, error, warning;
    if (!ReadMailPassword(s, &password, &error, &warning))
        return Failed(QStringLiteral("mail test: ") + error);
    if (!warning.isEmpty())
        PrintLine(stderr, QStringLiteral("mail test: предупреждение: ") + warning);
    MailMessage m;
    m.to = {w.plain.first()};
    m.subject = QStringLiteral("Проверка почты QST Archiver");
    m.body = QStringLiteral("Это проверочное письмо: почта настроена верно.\n");
    MailSender sender;
    if (sender.Send(s, m, &error) != MailSender::Accepted)
        return Failed(QStringLiteral("mail test: ") + MaskSecrets(error, {password}));
    PrintLine(stdout, QStringLiteral("mail test: письмо принято сервером %1").arg(s.host));
    return kExitOk;
}

int RunScheduleAdd(const CliContext &context)
{
    const Words w = ReadWords(context.args,
        {QStringLiteral("--kind"), QStringLiteral("--system"), QStringLiteral("--group"), QStringLiteral("--period"),
            QStringLiteral("--at"), QStringLiteral("--out-dir"), QStringLiteral("--mail"), QStringLiteral("--items"),
            QStringLiteral("--subject"), QStringLiteral("--body"), QStringLiteral("--name"),
            QStringLiteral("--grace")},
        {QStringLiteral("--landscape"), QStringLiteral("--pdf")});
    if (!w.bad.isEmpty())
        return UsageError(QStringLiteral("schedule add: unknown or incomplete option %1 (see qst-cli --help)").arg(w.bad));
    if (w.plain.size() != 1)
        return UsageError(QStringLiteral("usage: schedule add NAME --kind ... (see qst-cli --help)"));
    Schedule s;
    s.name = w.plain.first();
    s.kind = w.values.value(QStringLiteral("--kind")).trimmed().toLower();
    bool ok = false;
    s.system = w.values.value(QStringLiteral("--system"), QStringLiteral("1")).toInt(&ok);
    if (!ok)
        s.system = 0;
    s.group = w.values.value(QStringLiteral("--group"), QStringLiteral("0")).toInt(&ok);
    if (!ok)
        s.group = -1;
    if (!ParsePeriodRule(w.values.value(QStringLiteral("--period")), &s.period))
        return UsageError(QStringLiteral("schedule add: --period previous-day|previous-week|previous-month"));
    if (!ParseAtText(w.values.value(QStringLiteral("--at")), &s.day, &s.at))
        return UsageError(QStringLiteral("schedule add: --at \"DAY HH:MM\" (DAY 1..31, the day of the month for "
                                         "monthly periods)"));
    s.outDir = w.values.value(QStringLiteral("--out-dir")).trimmed();
    if (!s.outDir.isEmpty())
        s.outDir = QFileInfo(s.outDir).absoluteFilePath();
    QString error;
    if (w.values.contains(QStringLiteral("--mail"))) {
        s.mail = ParseMailList(w.values.value(QStringLiteral("--mail")), &error);
        if (!error.isEmpty())
            return UsageError(QStringLiteral("schedule add: ") + error);
    }
    for (const QString &item : w.values.value(QStringLiteral("--items")).split(u',', Qt::SkipEmptyParts)) {
        const int i = item.trimmed().toInt(&ok);
        if (!ok || i < 0 || i >= (s.system == 3 ? kTs3Items : kTs2Items))
            return UsageError(QStringLiteral("schedule add: no item %1 in this field group").arg(item));
        s.items << i;
    }
    s.landscape = w.flags.contains(QStringLiteral("--landscape"));
    s.pdf = w.flags.contains(QStringLiteral("--pdf"));
    s.subject = w.values.value(QStringLiteral("--subject"));
    s.body = w.values.value(QStringLiteral("--body"));
    s.pattern = w.values.value(QStringLiteral("--name"));
    if (w.values.contains(QStringLiteral("--grace"))) {
        s.graceHours = w.values.value(QStringLiteral("--grace")).toInt(&ok);
        if (!ok)
            s.graceHours = -1;
    }
    s.created = NotifyNow();
    if (const QString e = ScheduleError(s); !e.isEmpty())
        return UsageError(QStringLiteral("schedule add: ") + e);
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        if (s.group > 0 && BuildTreeModel(registry, false).FindGroupNode(s.group) < 0)
            return Failed(QStringLiteral("schedule add: no group %1 in the registry").arg(s.group));
        ScheduleStore store(context.dataRoot);
        Schedule old;
        if (store.Find(s.name, &old))
            return Failed(QStringLiteral("schedule add: расписание %1 уже есть (schedule del %1)").arg(old.name));
        store.Save(s);
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
    const SchedulePeriod first = NextPeriod(s.period, LatestDuePeriod(s.period, s.day, s.at, s.created));
    PrintLine(stdout, QStringLiteral("schedule add: %1: первый период %2, срок %3")
                          .arg(s.name, PeriodText(s.period, first),
                              DateTimeText(PeriodDueTime(s.period, s.day, s.at, first))));
    return kExitOk;
}

int RunScheduleList(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("schedule list takes no options"));
    try {
        PrintLine(stdout, QStringLiteral("name\tkind\tsystem\tgroup\tperiod\tat\tout-dir\tmail\tpdf\tlast period\tlast result"));
        for (const Schedule &s : ScheduleStore(context.dataRoot).List()) {
            PrintLine(stdout, QStringList{s.name, s.kind, QString::number(s.system), QString::number(s.group),
                                  PeriodRuleName(s.period), AtText(s), s.outDir, s.mail.join(u','),
                                  s.pdf ? QStringLiteral("pdf") : QStringLiteral("-"),
                                  s.lastPeriod.isValid() ? s.lastPeriod.toString(Qt::ISODate) : QStringLiteral("-"),
                                  s.lastResult.isEmpty() ? QStringLiteral("-") : s.lastResult}
                                  .join(u'\t'));
        }
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
    return kExitOk;
}

int RunScheduleDel(const CliContext &context)
{
    const Words w = ReadWords(context.args, {}, {});
    if (!w.bad.isEmpty() || w.plain.size() != 1)
        return UsageError(QStringLiteral("usage: schedule del NAME"));
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        if (!ScheduleStore(context.dataRoot).Remove(w.plain.first()))
            return Failed(QStringLiteral("schedule del: нет расписания %1").arg(w.plain.first()));
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
    return kExitOk;
}

int RunScheduleRun(const CliContext &context)
{
    const Words w = ReadWords(context.args, {}, {QStringLiteral("--dry-run")});
    if (!w.bad.isEmpty() || w.plain.size() != 1)
        return UsageError(QStringLiteral("usage: schedule run NAME [--dry-run]"));
    const bool dryRun = w.flags.contains(QStringLiteral("--dry-run"));
    WritingSession session(context.dataRoot);
    if (!dryRun && !session.BeginOrReport())
        return kExitFailed;
    try {
        ScheduleStore store(context.dataRoot);
        Schedule s;
        if (!store.Find(w.plain.first(), &s))
            return Failed(QStringLiteral("schedule run: нет расписания %1").arg(w.plain.first()));
        if (const QString e = ScheduleError(s); !e.isEmpty())
            return Failed(QStringLiteral("schedule run: %1: %2").arg(s.name, e));
        const QDateTime now = NotifyNow();
        const SchedulePeriod period = LatestEndedPeriod(s.period, now);
        MailSender sender;
        const ScheduleOutcome outcome = RunSchedulePeriod(context.dataRoot, s, period, now, dryRun, true, sender);
        for (const QString &line : outcome.lines)
            PrintLine(stdout, line);
        if (dryRun)
            return kExitOk;
        // What was written and queued counts as done: the service does not make it again.
        if (!outcome.retryLater) {
            store.MarkDone(s.name, period,
                QStringLiteral("%1: %2 (вручную), документов %3")
                    .arg(DateTimeText(now), PeriodText(s.period, period))
                    .arg(outcome.files.size()));
        }
        return outcome.documentsOk && outcome.mailsOk && !outcome.retryLater ? kExitOk : kExitFailed;
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
}

int RunMeterSet(const CliContext &context)
{
    const Words w = ReadWords(context.args, {QStringLiteral("--mail")}, {});
    if (!w.bad.isEmpty() || w.plain.size() != 1 || !w.values.contains(QStringLiteral("--mail")))
        return UsageError(QStringLiteral("usage: meter set SERIAL --mail ADDR[,ADDR...]   (\"\" clears it)"));
    quint16 serial = 0;
    if (!ParseSerial(w.plain.first(), &serial))
        return UsageError(QStringLiteral("meter set: SERIAL is a number 0..65535"));
    QString error;
    const QStringList list = ParseMailList(w.values.value(QStringLiteral("--mail")), &error);
    if (!error.isEmpty())
        return UsageError(QStringLiteral("meter set: ") + error);
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        const int meter = registry.FindMeterBySerialText(serial);
        if (meter == 0)
            return Failed(QStringLiteral("meter set: no meter with serial %1 in the registry").arg(serial));
        WriteMeterMail(registry, meter, list.join(u','));
    } catch (const StorageError &e) {
        return Failed(e.message());
    }
    return kExitOk;
}

} // namespace qst::cli
