#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "registry/Registry.h"
#include "reports/IntegratorReadings.h"
#include "reports/ReportTables.h"

#include <QCommandLineParser>

namespace qst::cli {

void PrintLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

namespace {

int KindFromText(const QString &text)
{
    static const QStringList kinds = {QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
                                      QStringLiteral("journal")};
    return static_cast<int>(kinds.indexOf(text));
}

} // namespace

int RunReportRows(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Prints the rows of a report as its document shows them."));
    parser.addHelpOption();
    const QCommandLineOption serialOption(QStringLiteral("serial"), QStringLiteral("Calculator serial number."),
                                          QStringLiteral("S"));
    const QCommandLineOption kindOption(QStringLiteral("kind"), QStringLiteral("hourly, daily, monthly or journal."),
                                        QStringLiteral("KIND"));
    const QCommandLineOption systemOption(QStringLiteral("system"),
                                          QStringLiteral("1 heat system 1, 2 heat system 2, 3 cold water."),
                                          QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption fromOption(QStringLiteral("from"), QStringLiteral("Start date."), QStringLiteral("DATE"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("End date."), QStringLiteral("DATE"));
    const QCommandLineOption itemsOption(QStringLiteral("items"),
                                         QStringLiteral("Checked items of the field group in use, e.g. 0,1,7."),
                                         QStringLiteral("LIST"));
    const QCommandLineOption statementOption(QStringLiteral("statement"),
                                             QStringLiteral("The heat supply statement's rows (fixed selection)."));
    const QCommandLineOption integratorsOption(QStringLiteral("integrators"),
                                               QStringLiteral("Print the integrator readings instead."));
    parser.addOptions({serialOption, kindOption, systemOption, fromOption, toOption, itemsOption, statementOption,
                       integratorsOption});
    if (!parser.parse(context.args)) {
        PrintLine(stderr, parser.errorText());
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        PrintLine(stdout, parser.helpText());
        return kExitOk;
    }

    ReportSelection s;
    s.dataRoot = context.dataRoot;
    s.serial = parser.value(serialOption).trimmed();
    quint16 serial = 0;
    if (!ParseSerial(s.serial, &serial)) {
        PrintLine(stderr, QStringLiteral("report-rows: --serial must be a number 0..65535"));
        return kExitUsage;
    }
    s.kind = KindFromText(parser.value(kindOption));
    const int system = parser.value(systemOption).toInt();
    s.heatSystem = system - 1;
    s.from = ParseIsoLocal(parser.value(fromOption), true);
    s.to = ParseIsoLocal(parser.value(toOption), true);
    if ((s.kind < 0 && !parser.isSet(statementOption)) || system < 1 || system > 3 || !s.from.isValid()
        || !s.to.isValid()) {
        PrintLine(stderr, QStringLiteral("report-rows: need --kind, --system 1|2|3, --from DATE and --to DATE "
                                         "(see report-rows --help)"));
        return kExitUsage;
    }
    for (const QString &item : parser.value(itemsOption).split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int i = item.trimmed().toInt(&ok);
        if (!ok || i < 0 || i >= s.ItemCount()) {
            PrintLine(stderr, QStringLiteral("report-rows: no item %1 in this field group").arg(item));
            return kExitUsage;
        }
        (s.heatSystem == kColdWater ? s.ts3[i] : s.ts2[i]) = true;
    }

    const bool statement = parser.isSet(statementOption);
    StatementLimits limits;
    if (statement) {
        ApplyStatementSelection(s);
        Registry registry(TreeIniPath(context.dataRoot));
        const int meter = registry.FindMeterBySerialText(serial);
        const QString section = MeterSection(meter);
        const int du = meter ? static_cast<int>(registry.file().ReadInteger(section, reg::kDU, 15)) : 15;
        const int cls = meter ? static_cast<int>(registry.file().ReadInteger(section, reg::kClass, 0)) : 0;
        limits = ReadStatementLimits(context.dataRoot, s.serial, du, cls, s.heatSystem);
    }

    const QString refusal = CheckPeriod(s);
    if (!refusal.isEmpty()) {
        PrintLine(stderr, refusal);
        return kExitFailed;
    }
    RowList rows;
    ReportTotals totals;
    if (statement)
        BuildStatementRows(s, rows, nullptr, nullptr, &totals, limits.gmin, limits.gmax, limits.version);
    else
        BuildProtocolRows(s, rows, nullptr, nullptr, &totals);
    if (parser.isSet(integratorsOption)) {
        if (s.kind == kJournalReport) {
            PrintLine(stderr, QStringLiteral("report-rows: the journal has no integrator readings"));
            return kExitUsage;
        }
        const ReportPeriod period = MakeReportPeriod(s);
        BuildIntegratorRows(s, rows, period.start, period.end, totals, s.kind);
    }
    for (const QString &row : std::as_const(rows))
        PrintLine(stdout, row);
    return kExitOk;
}

} // namespace qst::cli
