#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "notify/MailOutbox.h"
#include "registry/Registry.h"
#include "replication/Replicator.h"
#include "storage/GapScan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QDateTime>

namespace qst::cli {

namespace {

// A bare date as the end of a period means the whole day.
QDateTime ParseBound(const QString &text, bool end)
{
    QDateTime t = ParseIsoLocal(text, false);
    if (end && t.isValid() && text.trimmed().size() == 10)
        t = QDateTime(t.date(), QTime(23, 59, 59));
    return t;
}

} // namespace

int RunGaps(const CliContext &context)
{
    const QStringList &a = context.args;
    QString serialText, kindText;
    QDateTime from, to;
    for (qsizetype i = 1; i < a.size(); ++i) {
        const QString o = a[i];
        if (i + 1 >= a.size())
            return UsageError(QStringLiteral("gaps: %1 needs a value (see qst-cli --help)").arg(o));
        const QString v = a[++i];
        if (o == QStringLiteral("--serial"))
            serialText = v;
        else if (o == QStringLiteral("--kind"))
            kindText = v;
        else if (o == QStringLiteral("--from"))
            from = ParseBound(v, false);
        else if (o == QStringLiteral("--to"))
            to = ParseBound(v, true);
        else
            return UsageError(QStringLiteral("gaps: unknown option %1 (see qst-cli --help)").arg(o));
        if ((o == QStringLiteral("--from") && !from.isValid()) || (o == QStringLiteral("--to") && !to.isValid()))
            return UsageError(QStringLiteral("gaps: bad date after %1 (ISO 8601: 2026-12-01 or 2026-12-01T10:00)").arg(o));
    }
    quint16 serial = 0;
    if (!ParseSerial(serialText, &serial))
        return UsageError(QStringLiteral("gaps: --serial S (0..65535) is required"));
    GapKind kind = GapKind::Hourly;
    if (!ParseGapKind(kindText, &kind))
        return UsageError(QStringLiteral("gaps: --kind hourly|daily|monthly is required"));
    // Without bounds: the records a calculator has completed, over about the reach of its ring.
    const QDateTime now = QDateTime::currentDateTime();
    if (!to.isValid()) {
        to = kind == GapKind::Hourly ? now.addSecs(-3600)
            : kind == GapKind::Daily ? now.addDays(-1)
                                     : now.addMonths(-1);
    }
    if (!from.isValid()) {
        from = kind == GapKind::Hourly ? to.addDays(-31) : kind == GapKind::Daily ? to.addYears(-1) : to.addYears(-3);
    }
    if (from > to)
        return UsageError(QStringLiteral("gaps: --from is after --to"));
    // Times are days since 30 December 1899; nothing is stored before it.
    for (const QDateTime &t : {from, to}) {
        if (DayCountFromDateTime(t) < 0)
            return UsageError(QStringLiteral("gaps: %1 is before 1899-12-30, where the archive's calendar starts")
                                  .arg(t.date().toString(Qt::ISODate)));
    }
    try {
        const QList<GapRun> runs =
            FindGaps(context.dataRoot, serial, kind, DayCountFromDateTime(from), DayCountFromDateTime(to));
        for (const GapRun &r : runs)
            PrintLine(stdout, DateTimeText(r.first) + u'\t' + DateTimeText(r.last) + u'\t' + QString::number(r.count));
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("gaps: ") + e.message());
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace qst::cli

namespace qst::cli {

namespace {

QString TimeOrDash(double t)
{
    return t > 0 ? DateTimeText(t) : QStringLiteral("-");
}

} // namespace

int RunStatus(const CliContext &context)
{
    bool json = false, check = false;
    for (qsizetype i = 1; i < context.args.size(); ++i) {
        const QString &o = context.args[i];
        if (o == QStringLiteral("--json"))
            json = true;
        else if (o == QStringLiteral("--check"))
            check = true;
        else
            return UsageError(QStringLiteral("status: unknown option %1 (see qst-cli --help)").arg(o));
    }
    // Monitoring plugins answer 3 when they cannot tell.
    constexpr int kUnknown = 3;
    QList<MeterSummaryRow> rows;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        MeterHealth health(context.dataRoot);
        rows = BuildMeterSummary(context.dataRoot, registry, health, DayCountFromDateTime(QDateTime::currentDateTime()));
    } catch (const StorageError &e) {
        // Standard output holds nothing but JSON when JSON is asked for.
        const bool summary = check && !json;
        PrintLine(summary ? stdout : stderr, (check ? QStringLiteral("UNKNOWN - ") : QStringLiteral("status: ")) + e.message());
        return check ? kUnknown : kExitFailed;
    }
    QStringList overdue, gaps;
    for (const MeterSummaryRow &r : rows) {
        if (r.overdue)
            overdue << QString::number(r.serial);
        if (r.gapsInRing)
            gaps << QString::number(r.serial);
    }
    int code = kExitOk;
    if (check) {
        QString summary;
        if (!overdue.isEmpty()) {
            code = 2;
            summary = QStringLiteral("CRITICAL - %1 of %2 meters overdue: %3").arg(overdue.size()).arg(rows.size())
                .arg(overdue.join(u' '));
            if (!gaps.isEmpty())
                summary += QStringLiteral("; missing records in the ring: ") + gaps.join(u' ');
        } else if (!gaps.isEmpty()) {
            code = 1;
            summary = QStringLiteral("WARNING - %1 of %2 meters miss records the calculator still holds: %3")
                .arg(gaps.size()).arg(rows.size()).arg(gaps.join(u' '));
        } else {
            summary = QStringLiteral("OK - %1 meters answer, no missing records in the rings").arg(rows.size());
        }
        // Records the database copy misses are no meter's fault, but need the operator.
        const QString database = DatabaseSyncNeeded(context.dataRoot);
        if (!database.isEmpty()) {
            if (code == kExitOk)
                summary = QStringLiteral("WARNING - database copy: run db sync (%1)").arg(database);
            else
                summary += QStringLiteral("; database copy: run db sync (%1)").arg(database);
            code = qMax(code, 1);
        }
        // Mail that has not gone out yet needs the operator as well.
        const QString mail = MailStatusLine(context.dataRoot);
        if (!mail.isEmpty()) {
            summary += (code == kExitOk && database.isEmpty() ? QStringLiteral("; WARNING - ") : QStringLiteral("; "))
                + mail;
            code = qMax(code, 1);
        }
        // With --json the exit code alone carries the verdict; standard output stays JSON.
        if (!json)
            PrintLine(stdout, summary);
    }
    if (json) {
        QJsonArray list;
        for (const MeterSummaryRow &r : rows) {
            list.append(MeterSummaryJson(r));
        }
        PrintLine(stdout, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)).trimmed());
    } else if (!check) {
        PrintLine(stdout, QStringLiteral("Name\tSerial\tGroup\tLast answer\tLast failure\tNewest hourly\tNewest daily\t"
                                         "Newest monthly\tMissing hours (31 d)\tNS (1 d)\tOverdue"));
        for (const MeterSummaryRow &r : rows) {
            PrintLine(stdout, QStringList{r.name, QString::number(r.serial), r.group, TimeOrDash(r.status.lastAnswer),
                                  r.status.failureText.isEmpty() ? QStringLiteral("-") : r.status.failureText,
                                  TimeOrDash(r.newest[0]), TimeOrDash(r.newest[1]), TimeOrDash(r.newest[2]),
                                  QString::number(r.missingHours31), QString::number(r.nsFlags),
                                  r.overdue ? QStringLiteral("overdue") : QStringLiteral("-")}
                                  .join(u'\t'));
        }
        if (const QString mail = MailStatusLine(context.dataRoot); !mail.isEmpty())
            PrintLine(stdout, mail);
    }
    return code;
}

} // namespace qst::cli
