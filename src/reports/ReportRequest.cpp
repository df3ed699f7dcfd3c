#include "reports/ReportRequest.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "registry/Registry.h"
#include "reports/WordDocument.h"
#include "storage/ArchiveView.h"

#include <QStringList>

namespace qst {

int ReportKindFromText(const QString &text)
{
    static const QStringList kinds = {QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
                                      QStringLiteral("journal")};
    return static_cast<int>(kinds.indexOf(text));
}

ReportArgumentError ReadReportArguments(const ReportArguments &a, const QString &dataRoot, quint16 serial,
                                        ReportOptions *options, QString *badItem)
{
    ReportSelection &s = options->selection;
    s.dataRoot = dataRoot;
    s.serial = QString::number(serial);
    s.kind = a.kind;
    s.heatSystem = a.systemNumber - 1;
    s.from = a.from;
    s.to = a.to;
    if ((s.kind < 0 && !a.statement) || a.systemNumber < 1 || a.systemNumber > 3 || !s.from.isValid()
        || !s.to.isValid())
        return ReportArgumentError::Selection;
    for (const QString &item : a.items.split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int i = item.trimmed().toInt(&ok);
        if (!ok || i < 0 || i >= s.ItemCount()) {
            if (badItem)
                *badItem = item;
            return ReportArgumentError::Item;
        }
        (s.heatSystem == kColdWater ? s.ts3[i] : s.ts2[i]) = true;
    }
    options->orientation = a.landscape ? 1 : 0;
    options->showIntegrators = !a.noIntegrators;
    options->detail = a.faults;
    options->detailVisible = s.kind == kHourlyReport;
    options->breakPages = !a.noBreaks;
    return ReportArgumentError::None;
}

QString BuildReportDocument(const QString &dataRoot, quint16 serial, ReportOptions &options, bool statement,
                            TWordDocument &document, bool *noMeter)
{
    Registry registry(TreeIniPath(dataRoot));
    const int meter = registry.FindMeterBySerialText(serial);
    if (noMeter)
        *noMeter = meter == 0;
    if (meter == 0)
        return QStringLiteral("report: no meter with serial %1 in the registry").arg(serial);
    options.meter = ReadReportMeter(registry, meter);
    return statement ? BuildHeatStatement(options, document) : BuildProtocolReport(options, document);
}

void ExportPeriodOf(ExportKind kind, const QDateTime &from, const QDateTime &to, bool toIsDate, double *start,
                    double *end)
{
    if (kind == ExportKind::Monthly) {
        const ArchivePeriod period = MonthlyPeriod(from.date(), to.date());
        *start = period.from;
        *end = period.to;
        return;
    }
    *start = DayCountFromDateTime(from);
    *end = toIsDate ? DayCountFromParts(to.date(), QTime(23, 59, 59)) : DayCountFromDateTime(to);
}

} // namespace qst
