#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "reports/IntegratorReadings.h"
#include "reports/OfficeConversion.h"
#include "reports/ReportBatch.h"
#include "reports/ReportRequest.h"
#include "reports/ReportTexts.h"
#include "reports/ReportDocuments.h"
#include "reports/ReportTables.h"
#include "reports/TableExport.h"
#include "reports/WordDocument.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <QCommandLineParser>

namespace qst::cli {

void PrintLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

namespace {

// The options report-rows and report share, and the selection they make.
struct ReportCommandLine
{
    QCommandLineOption serial{QStringLiteral("serial"), QStringLiteral("Calculator serial number."),
                              QStringLiteral("S")};
    QCommandLineOption kind{QStringLiteral("kind"), QStringLiteral("hourly, daily, monthly or journal."),
                            QStringLiteral("KIND")};
    QCommandLineOption system{QStringLiteral("system"), QStringLiteral("1 heat system 1, 2 heat system 2, 3 cold water."),
                              QStringLiteral("N"), QStringLiteral("1")};
    QCommandLineOption from{QStringLiteral("from"), QStringLiteral("Start date."), QStringLiteral("DATE")};
    QCommandLineOption to{QStringLiteral("to"), QStringLiteral("End date."), QStringLiteral("DATE")};
    QCommandLineOption items{QStringLiteral("items"),
                             QStringLiteral("Checked items of the field group in use, e.g. 0,1,7."),
                             QStringLiteral("LIST")};
    QCommandLineOption statement{QStringLiteral("statement"),
                                 QStringLiteral("The heat supply statement (fixed selection).")};

    void AddTo(QCommandLineParser &parser) const
    {
        parser.addOptions({serial, kind, system, from, to, items, statement});
    }

    // The selection the options name (with the page's choices in `flags`); false with a
    // usage message printed.
    bool Read(const QCommandLineParser &parser, const QString &command, const QString &dataRoot,
              ReportOptions *report, quint16 *serialNumber, bool needSerial = true,
              ReportArguments flags = {}) const
    {
        ReportSelection *s = &report->selection;
        if (needSerial && !ParseSerial(parser.value(serial).trimmed(), serialNumber)) {
            PrintLine(stderr, command + QStringLiteral(": --serial must be a number 0..65535"));
            return false;
        }
        ReportArguments a = flags;
        a.kind = ReportKindFromText(parser.value(kind));
        a.systemNumber = parser.value(system).toInt();
        a.from = ParseIsoLocal(parser.value(from), true);
        a.to = ParseIsoLocal(parser.value(to), true);
        a.items = parser.value(items);
        a.statement = parser.isSet(statement);
        QString badItem;
        const ReportArgumentError error = ReadReportArguments(a, dataRoot, *serialNumber, report, &badItem);
        s->serial = parser.value(serial).trimmed();
        if (error == ReportArgumentError::Selection) {
            PrintLine(stderr, command + QStringLiteral(": need --kind, --system 1|2|3, --from DATE and --to DATE "
                                                       "(see %1 --help)").arg(command));
            return false;
        }
        if (error == ReportArgumentError::Item) {
            PrintLine(stderr, command + QStringLiteral(": no item %1 in this field group").arg(badItem));
            return false;
        }
        return true;
    }
};

} // namespace

int RunReportRows(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Prints the rows of a report as its document shows them."));
    parser.addHelpOption();
    const ReportCommandLine options;
    options.AddTo(parser);
    const QCommandLineOption integratorsOption(QStringLiteral("integrators"),
                                               QStringLiteral("Print the integrator readings instead."));
    parser.addOption(integratorsOption);
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("Write the rows as CSV or XLSX instead."),
                                 QStringLiteral("FILE"));
    parser.addOption(out);
    AddTableOptions(parser, QStringLiteral("csv"));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;

    ReportOptions report;
    quint16 serial = 0;
    if (!options.Read(parser, QStringLiteral("report-rows"), context.dataRoot, &report, &serial))
        return kExitUsage;
    ReportSelection &s = report.selection;
    QString format;
    QString dialect;
    QString encoding;
    if (!CheckTableOptions(parser, QStringLiteral("report-rows"), &format, &dialect, &encoding))
        return kExitUsage;

    const bool statement = parser.isSet(options.statement);
    StatementLimits limits;
    if (statement) {
        ApplyStatementSelection(s);
        Registry registry(TreeIniPath(context.dataRoot));
        const ReportMeter meter = ReadReportMeter(registry, registry.FindMeterBySerialText(serial));
        limits = ReadStatementLimits(context.dataRoot, s.serial, meter.duNumber, meter.measuringClass, s.heatSystem);
    }

    const QString refusal = CheckPeriod(s);
    if (!refusal.isEmpty()) {
        PrintLine(stderr, refusal);
        return kExitFailed;
    }
    RowList rows;
    ReportTotals totals;
    StatementHours shown;
    if (statement)
        BuildStatementRows(s, rows, nullptr, nullptr, &totals, limits.gmin, limits.gmax, limits.version, &shown);
    else
        BuildProtocolRows(s, rows, nullptr, nullptr, &totals);
    if (parser.isSet(integratorsOption)) {
        if (s.kind == kJournalReport) {
            PrintLine(stderr, QStringLiteral("report-rows: the journal has no integrator readings"));
            return kExitUsage;
        }
        const ReportPeriod period = MakeReportPeriod(s);
        if (statement) {
            // The statement's own integrator table, as the document shows it.
            rows.clear();
            for (const QStringList &cells : BuildStatementReadings(s, totals, shown))
                rows.append(cells.join(u'\t') + u'\t');
        } else {
            BuildIntegratorRows(s, rows, period.start, period.end, totals, s.kind);
        }
    }
    if (parser.isSet(out))
        return WriteExportTable(ExportReportRows(rows), QStringLiteral("report-rows"), format, dialect, encoding,
                                parser.value(out));
    for (const QString &row : std::as_const(rows))
        PrintLine(stdout, row);
    return kExitOk;
}

int RunReport(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a report document (.docx) as the report page does."));
    parser.addHelpOption();
    const ReportCommandLine options;
    options.AddTo(parser);
    const QCommandLineOption landscape(QStringLiteral("landscape"), QStringLiteral("Landscape pages."));
    const QCommandLineOption noIntegrators(QStringLiteral("no-integrators"),
                                           QStringLiteral("Leave out the integrator readings."));
    const QCommandLineOption faults(QStringLiteral("faults"),
                                    QStringLiteral("Add the abnormal-situation table (hourly protocols)."));
    const QCommandLineOption noBreaks(QStringLiteral("no-breaks"),
                                      QStringLiteral("No page break per day or month; repeated headers left out."));
    const QCommandLineOption yes(QStringLiteral("yes"), QStringLiteral("Overwrite an existing file without asking."));
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("The document to write."),
                                 QStringLiteral("FILE.docx"));
    const QCommandLineOption pdf(QStringLiteral("pdf"), QStringLiteral("Also convert it to PDF (LibreOffice)."),
                                 QStringLiteral("FILE.pdf"));
    const QCommandLineOption pdfTimeout(QStringLiteral("pdf-timeout"),
                                        QStringLiteral("Seconds to allow the PDF conversion (default: by the document's size)."),
                                        QStringLiteral("SECONDS"));
    const QCommandLineOption group(QStringLiteral("group"),
                                   QStringLiteral("One document per meter of group N and its subgroups (0: all)."),
                                   QStringLiteral("N"));
    const QCommandLineOption outDir(QStringLiteral("out-dir"), QStringLiteral("The folder of a group's documents."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("File names of a group's documents: {serial} {name} {abon} {from} {to}."),
                                  QStringLiteral("PATTERN"), kDefaultBatchPattern);
    parser.addOptions({landscape, noIntegrators, faults, noBreaks, yes, out, pdf, pdfTimeout, group, outDir, name});
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    ReportOptions report;
    quint16 serial = 0;
    const bool batch = parser.isSet(group);
    ReportArguments flags;
    flags.landscape = parser.isSet(landscape);
    flags.noIntegrators = parser.isSet(noIntegrators);
    flags.faults = parser.isSet(faults);
    flags.noBreaks = parser.isSet(noBreaks);
    if (!options.Read(parser, QStringLiteral("report"), context.dataRoot, &report, &serial, !batch, flags))
        return kExitUsage;
    if (batch) {
        bool ok = false;
        const int groupNumber = parser.value(group).toInt(&ok);
        if (!ok || groupNumber < 0 || parser.value(outDir).trimmed().isEmpty() || parser.isSet(out))
            return UsageError(QStringLiteral("report: --group N needs --out-dir DIR (and no --out)"));
        Registry registry(TreeIniPath(context.dataRoot));
        if (BuildTreeModel(registry, false).FindGroupNode(groupNumber) < 0) {
            PrintLine(stderr, QStringLiteral("report: no group %1 in the registry").arg(groupNumber));
            return kExitFailed;
        }
        const QString folder = parser.value(outDir).trimmed();
        if (!QDir().mkpath(folder)) {
            PrintLine(stderr, QStringLiteral("report: cannot create %1").arg(folder));
            return kExitFailed;
        }
        const BatchResult result = BuildGroupReports(registry, groupNumber, report, parser.isSet(options.statement),
                                                     folder, parser.value(name), parser.isSet(yes));
        for (const QString &line : BatchSummary(result))
            PrintLine(stdout, line);
        for (const BatchItem &item : result.items) {
            if (!item.written)
                return kExitFailed;
        }
        return kExitOk;
    }
    const QString outFile = DocxFileName(parser.value(out).trimmed());
    if (outFile.isEmpty())
        return UsageError(QStringLiteral("report: give --out FILE.docx"));
    if (parser.isSet(pdf) && parser.value(pdf).trimmed().isEmpty())
        return UsageError(QStringLiteral("report: --pdf needs a file name"));
    int pdfTimeoutSeconds = 0;
    if (parser.isSet(pdfTimeout)) {
        bool ok = false;
        pdfTimeoutSeconds = parser.value(pdfTimeout).toInt(&ok);
        if (!ok || pdfTimeoutSeconds <= 0 || pdfTimeoutSeconds > 86400)
            return UsageError(QStringLiteral("report: --pdf-timeout needs a number of seconds from 1 to 86400"));
    }
    if (outFile != parser.value(out).trimmed())
        PrintLine(stdout, QStringLiteral("report: documents are .docx; writing %1").arg(outFile));

    const bool statement = parser.isSet(options.statement);
    TWordDocument document;
    const QString refusal = BuildReportDocument(context.dataRoot, serial, report, statement, document);
    if (!refusal.isEmpty()) {
        PrintLine(stderr, refusal);
        return kExitFailed;
    }
    // The PDF follows the document's rule: an existing file is replaced only when allowed,
    // and both are asked about before anything is written.
    const QString pdfFile = parser.isSet(pdf) ? QFileInfo(parser.value(pdf).trimmed()).absoluteFilePath() : QString();
    for (const QString &file : {outFile, pdfFile}) {
        if (file.isEmpty() || !QFileInfo::exists(file) || parser.isSet(yes))
            continue;
        if (!StdinIsTerminal()) {
            PrintLine(stderr, QStringLiteral("report: %1 exists; give --yes to overwrite it").arg(file));
            return kExitFailed;
        }
        PrintLine(stdout, file + u'\n' + texts::kOverwriteQuestion);
        if (!AskYes()) {
            PrintLine(stderr, QStringLiteral("report: nothing written"));
            return kExitFailed;
        }
    }
    QString error;
    if (!document.SaveAs(outFile, &error)) {
        PrintLine(stderr, QStringLiteral("report: ") + error);
        return kExitFailed;
    }
    PrintLine(stdout, QStringLiteral("report: written %1").arg(outFile));
    for (const QString &note : document.Notes())
        PrintLine(stdout, QStringLiteral("report: ") + note);
    if (!pdfFile.isEmpty()) {
        QTemporaryDir work(QDir::temp().filePath(QStringLiteral("qst-report-XXXXXX")));
        QString converted;
        // The converter names its result after the document in a folder of its own; the PDF
        // then replaces the old one through the checked save, or leaves it as it was.
        const int timeoutMs = pdfTimeoutSeconds > 0 ? pdfTimeoutSeconds * 1000
                                                    : PdfTimeoutMs(document.TotalRowCount());
        int nextNotice = 10;
        const auto waiting = [timeoutMs, &nextNotice](int seconds) {
            if (seconds < nextNotice)
                return;
            nextNotice = seconds - seconds % 10 + 10;
            PrintLine(stderr, QStringLiteral("report: converting to PDF, %1 s of at most %2 s")
                                      .arg(seconds)
                                      .arg(timeoutMs / 1000));
        };
        if (!work.isValid() || !ConvertWithOffice(QFileInfo(outFile).absoluteFilePath(), QStringLiteral("pdf"),
                                                  work.path(), &converted, &error, timeoutMs, waiting)) {
            PrintLine(stderr, QStringLiteral("report: no PDF: %1").arg(work.isValid() ? error : work.errorString()));
            return kExitFailed;
        }
        try {
            const QString folder = QFileInfo(pdfFile).absolutePath();
            if (!QDir().mkpath(folder))
                throw StorageError(QStringLiteral("Не удалось создать папку %1").arg(QDir::toNativeSeparators(folder)));
            SaveFileBytes(pdfFile, ReadFileBytes(converted));
        } catch (const StorageError &e) {
            PrintLine(stderr, QStringLiteral("report: ") + e.message());
            return kExitFailed;
        }
        PrintLine(stdout, QStringLiteral("report: written %1").arg(pdfFile));
    }
    return kExitOk;
}

} // namespace qst::cli
