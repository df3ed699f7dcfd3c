#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "reports/ArchiveCheck.h"
#include "reports/ReportRequest.h"
#include "reports/TableExport.h"
#include "storage/ArchiveView.h"

#include <QCommandLineParser>

namespace qst::cli {

namespace {

bool ParsePeriod(const QString &fromText, const QString &toText, QDateTime *from, QDateTime *to)
{
    *from = ParseIsoLocal(fromText.trimmed(), false);
    *to = ParseIsoLocal(toText.trimmed(), false);
    return from->isValid() && to->isValid();
}

} // namespace

// Writes a table as CSV or XLSX by the shared options; prints the reason on failure.
int WriteExportTable(const ExportTable &table, const QString &command, const QString &format, const QString &dialect,
    const QString &encoding, const QString &out)
{
    QString error;
    bool written = false;
    if (format == QLatin1String("xlsx")) {
        written = WriteXlsx(table, out, &error);
    } else {
        CsvOptions options;
        options.dialect = dialect == QLatin1String("plain") ? CsvDialect::Plain : CsvDialect::Russian;
        options.encoding = encoding == QLatin1String("windows-1251") ? CsvEncoding::Windows1251 : CsvEncoding::Utf8Bom;
        written = WriteCsv(table, out, options, &error);
    }
    if (!written) {
        PrintLine(stderr, command + QStringLiteral(": ") + error);
        return kExitFailed;
    }
    const QString note = SkippedNote(table);
    if (!note.isEmpty())
        PrintLine(stderr, note);
    return kExitOk;
}

// The options every command that writes a table shares; false with a usage message.
bool CheckTableOptions(
    const QCommandLineParser &parser, const QString &command, QString *format, QString *dialect, QString *encoding)
{
    *format = parser.value(QStringLiteral("format"));
    *dialect = parser.value(QStringLiteral("csv-dialect"));
    *encoding = parser.value(QStringLiteral("encoding"));
    if (*format != QLatin1String("csv") && *format != QLatin1String("xlsx")) {
        UsageError(command + QStringLiteral(": --format csv or xlsx"));
        return false;
    }
    if (*dialect != QLatin1String("russian") && *dialect != QLatin1String("plain")) {
        UsageError(command + QStringLiteral(": --csv-dialect russian or plain"));
        return false;
    }
    if (*encoding != QLatin1String("utf-8") && *encoding != QLatin1String("windows-1251")) {
        UsageError(command + QStringLiteral(": --encoding utf-8 or windows-1251"));
        return false;
    }
    return true;
}

void AddTableOptions(QCommandLineParser &parser, const QString &defaultFormat)
{
    parser.addOptions({
        { QStringLiteral("format"), QStringLiteral("csv or xlsx."), QStringLiteral("FORMAT"), defaultFormat },
        { QStringLiteral("csv-dialect"),
            QStringLiteral("russian (';', decimal comma; the default) or plain (',', decimal point, ISO dates)."),
            QStringLiteral("DIALECT"), QStringLiteral("russian") },
        { QStringLiteral("encoding"), QStringLiteral("CSV text: utf-8 (with BOM; the default) or windows-1251."),
            QStringLiteral("ENCODING"), QStringLiteral("utf-8") },
    });
}

int RunExport(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Exports a meter's archive as CSV or XLSX."));
    parser.addHelpOption();
    const QCommandLineOption serial(
        QStringLiteral("serial"), QStringLiteral("Calculator serial number."), QStringLiteral("S"));
    const QCommandLineOption kind(QStringLiteral("kind"),
        QStringLiteral("hourly, daily, monthly, journal or current-history."), QStringLiteral("KIND"));
    const QCommandLineOption system(QStringLiteral("system"),
        QStringLiteral("1 heat system 1, 2 heat system 2, 3 cold water."), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption from(
        QStringLiteral("from"), QStringLiteral("Start date or date-time."), QStringLiteral("DATE"));
    const QCommandLineOption to(
        QStringLiteral("to"), QStringLiteral("End date (the whole day) or date-time."), QStringLiteral("DATE"));
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("The file to write."), QStringLiteral("FILE"));
    parser.addOptions({ serial, kind, system, from, to, out });
    AddTableOptions(parser, QStringLiteral("csv"));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    quint16 serialNumber = 0;
    if (!ParseSerial(parser.value(serial), &serialNumber))
        return UsageError(QStringLiteral("export: --serial must be a number 0..65535"));
    static const QStringList kinds = { QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
        QStringLiteral("journal"), QStringLiteral("current-history") };
    const int kindIndex = int(kinds.indexOf(parser.value(kind)));
    const int systemNumber = parser.value(system).toInt();
    QDateTime fromTime;
    QDateTime toTime;
    if (kindIndex < 0 || systemNumber < 1 || systemNumber > 3
        || !ParsePeriod(parser.value(from), parser.value(to), &fromTime, &toTime))
        return UsageError(QStringLiteral("export: need --kind, --system 1|2|3, --from DATE and --to DATE "
                                         "(see export --help)"));
    const QString outFile = parser.value(out).trimmed();
    if (outFile.isEmpty())
        return UsageError(QStringLiteral("export: give --out FILE"));
    QString format;
    QString dialect;
    QString encoding;
    if (!CheckTableOptions(parser, QStringLiteral("export"), &format, &dialect, &encoding))
        return kExitUsage;

    const ExportKind exportKind = static_cast<ExportKind>(kindIndex);
    double start = 0;
    double end = 0;
    ExportPeriodOf(exportKind, fromTime, toTime, !parser.value(to).contains(u'T'), &start, &end);
    const ExportTable table
        = ExportArchive(context.dataRoot, QString::number(serialNumber), exportKind, systemNumber - 1, start, end);
    return WriteExportTable(table, QStringLiteral("export"), format, dialect, encoding, outFile);
}

int RunCheck(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Checks that a meter's stored archive adds up."));
    parser.addHelpOption();
    const QCommandLineOption serial(
        QStringLiteral("serial"), QStringLiteral("Calculator serial number."), QStringLiteral("S"));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("First day."), QStringLiteral("DATE"));
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("Last day."), QStringLiteral("DATE"));
    const QCommandLineOption out(
        QStringLiteral("out"), QStringLiteral("Also write the differences to a file."), QStringLiteral("FILE"));
    parser.addOptions({ serial, from, to, out });
    AddTableOptions(parser, QStringLiteral("csv"));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    quint16 serialNumber = 0;
    if (!ParseSerial(parser.value(serial), &serialNumber))
        return UsageError(QStringLiteral("check: --serial must be a number 0..65535"));
    QDateTime fromTime;
    QDateTime toTime;
    if (!ParsePeriod(parser.value(from), parser.value(to), &fromTime, &toTime))
        return UsageError(QStringLiteral("check: need --from DATE and --to DATE"));
    QString format;
    QString dialect;
    QString encoding;
    if (!CheckTableOptions(parser, QStringLiteral("check"), &format, &dialect, &encoding))
        return kExitUsage;

    const CheckResult result
        = CheckArchive(context.dataRoot, QString::number(serialNumber), fromTime.date(), toTime.date());
    const ExportTable table = CheckTable(result);
    // The table on standard output, TAB-separated as report-rows prints.
    QString header;
    for (const QString &title : table.header)
        header += title + u'\t';
    PrintLine(stdout, header);
    for (const QList<ExportCell> &row : table.rows) {
        QString line;
        for (const ExportCell &cell : row)
            line += CellText(cell, CsvDialect::Russian) + u'\t';
        PrintLine(stdout, line);
    }
    PrintLine(stdout, CheckSummary(result));
    const QString note = SkippedNote(table);
    if (!note.isEmpty())
        PrintLine(stdout, note);
    const QString outFile = parser.value(out).trimmed();
    if (!outFile.isEmpty()
        && WriteExportTable(table, QStringLiteral("check"), format, dialect, encoding, outFile) != kExitOk)
        return kExitFailed;
    return result.differences.isEmpty() ? kExitOk : kExitFailed;
}

} // namespace qst::cli
