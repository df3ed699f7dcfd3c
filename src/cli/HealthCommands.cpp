#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "storage/GapScan.h"

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
