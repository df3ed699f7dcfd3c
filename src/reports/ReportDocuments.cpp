#include "ReportDocuments.h"

#include "IntegratorReadings.h"
#include "TableFit.h"
#include "ReportTexts.h"
#include "WordDocument.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/MeterTables.h"

#include <QFile>

#include <cmath>
#include <vector>

namespace qst {

namespace {

QString Hours(double value)
{
    return FormatPattern(value, u"0.##");
}

// The texts before each TAB of a row-list line.
QStringList CellsOf(const QString &line)
{
    QStringList parts = line.split(u'\t');
    parts.removeLast();
    return parts;
}

QString FirstCell(const QString &line)
{
    const qsizetype tab = line.indexOf(u'\t');
    return tab < 0 ? line : line.left(tab);
}

QString Title(int kind)
{
    switch (kind) {
    case kHourlyReport:
        return texts::kHourlyTitle;
    case kDailyReport:
        return texts::kDailyTitle;
    case kMonthlyReport:
        return texts::kMonthlyTitle;
    default:
        return texts::kJournalTitle;
    }
}

QString DeviceTypeText(int devType)
{
    return devType == 2 ? texts::kDevice544 : texts::kDevice54;
}

// "TC 1 (scheme)", "TC 2 (scheme)" or "TC 3 (ХВС)", the scheme code from the meter's
// current-values file.
QString HeatSystemText(const ReportSelection &s)
{
    if (s.heatSystem == kColdWater)
        return texts::kColdWaterSystem;
    int code = 0;
    quint16 serial = 0;
    if (ParseSerial(s.serial, &serial)) {
        ProfileFile file(DataFilePath(s.dataRoot, DataKind::CurrentValues, serial));
        code = static_cast<int>(file.ReadInteger(kCurrDataSection,
                                                 s.heatSystem == kHeatSystem1 ? QStringLiteral("Scheme1")
                                                                              : QStringLiteral("Scheme2"),
                                                 0));
    }
    const int system = s.heatSystem == kHeatSystem1 ? 1 : 2;
    return (system == 1 ? texts::kSystem1Prefix : texts::kSystem2Prefix) + SchemeName(system, code) + u')';
}

// Title, period line, and the paragraph settings every document starts its tables with.
void WriteTitleAndPeriod(TWordDocument &doc, const QString &title, const ReportSelection &s, bool spaceAfterTitle)
{
    doc.TypeText(title);
    doc.SetAlignment(kAlignCenter);
    if (spaceAfterTitle)
        doc.SetSpaceAfter(0);
    doc.TypeParagraph();
    doc.TypeText(texts::kPeriodFrom + DateText(s.from.date()) + texts::kPeriodTo + DateText(s.to.date()));
    doc.SetAlignment(kAlignCenter);
    if (spaceAfterTitle)
        doc.SetSpaceAfter(0);
    doc.TypeParagraph();
    doc.SetAlignment(kAlignLeft);
    doc.SetFontSize(8);
}

void WriteCell(TWordDocument &doc, int table, int row, int cell, const QString &text)
{
    doc.SelectCell(table, row, cell);
    doc.TypeText(text);
}

void FrameLastTable(TWordDocument &doc)
{
    doc.FrameTable(doc.TableCount());
}

// Leaves through the second cell of the last row as the word processor is driven; a table of
// one column (an integrator table with no position chosen) is left through its only cell
// instead of failing the report.
void FrameLastTableAndLeave(TWordDocument &doc)
{
    FrameLastTable(doc);
    const int table = doc.TableCount();
    const int row = doc.RowCount(table);
    doc.SelectCell(table, row, std::min(2, doc.CellCount(table, row)));
    doc.LeaveTable();
}

// Labels of the statement's header line, tested in this order; the first match replaces the
// whole text.
QString StatementLabel(const QString &text)
{
    for (const auto &entry : texts::kStatementLabels) {
        if (text.contains(QStringView(entry.contains)))
            return QString::fromUtf16(entry.label);
    }
    return text;
}

// The column widths the data table will have once its first column is widened.
std::vector<double> DataColumnWidths(const TWordDocument &doc, int table)
{
    std::vector<double> widths;
    for (int j = 1; doc.ColumnWidth(table, j) > 0; ++j)
        widths.push_back(doc.ColumnWidth(table, j));
    double total = 0;
    for (double w : widths)
        total += w;
    if (widths.size() > 1 && widths[0] < 50 && total > 50) {
        const double scale = (total - 50) / (total - widths[0]);
        for (double &w : widths)
            w *= scale;
        widths[0] = 50;
    }
    return widths;
}

// Numbers never break inside: the table's font and margins are chosen so the widest piece of
// every column fits.
TableFit FitDataTable(const std::vector<double> &widths, const RowList &rows)
{
    QList<QStringList> cells;
    for (const QString &line : rows)
        if (!FirstCell(line).contains(texts::kDateCell))
            cells.append(CellsOf(line));
    return FitTableFont(widths, cells, 8, 6);
}

// A heading wraps at blanks only: a word too long for its cell gets a smaller font, down to 5 pt.
void FitHeadingCell(TWordDocument &doc, int table, int row, int cell, double width, double margin, int fontSize,
                    const QString &text)
{
    const int size = FittingFontSize(text, width - 2 * margin, fontSize, 5);
    if (size < fontSize)
        doc.SetCellFontSize(table, row, cell, size);
}

struct DataTableStyle
{
    bool statement = false;
    int firstRow = 1; // the row the first line goes to
};

// The data table's rows from the row list, splitting the table with a page break at each
// repeated header line (or leaving those lines out), widening a narrow first column, and
// leaving in `rows` what the faults table reads: the date and the raw words of each data line.
void WriteDataTable(TWordDocument &doc, RowList &rows, int kind, bool breakPages, const DataTableStyle &style,
                    const ReportProgress &progress)
{
    int table = doc.TableCount();
    int y = style.firstRow;
    const qsizetype count = rows.size();
    const std::vector<double> widths = DataColumnWidths(doc, table);
    const TableFit fit = FitDataTable(widths, rows);
    doc.SetFontSize(fit.fontSize);
    doc.SetCellMargins(table, fit.cellMargin);
    if (!fit.fits)
        doc.AddNote(texts::kNoteNumbersSplit);
    for (qsizetype i = 0; i < count; ++i) {
        const QString line = rows[i];
        const QStringList cells = CellsOf(line);
        const bool repeatedHeader = i > 0 && kind <= kMonthlyReport && FirstCell(line).contains(texts::kDateCell);
        if (repeatedHeader && !breakPages) {
            rows[i].clear();
            continue;
        }
        for (int j = 1; j <= cells.size(); ++j) {
            QString text = cells[j - 1];
            if (i > 0 && text.contains(texts::kDateCell)) {
                doc.SelectCell(table, y, j);
                doc.InsertBreak();
                FrameLastTable(doc);
                table = doc.TableCount();
                y = 1;
            }
            if (style.statement) {
                text = StatementLabel(text);
                if (i > 0 && (j == 10 || j == 11)) {
                    double pressure = 0;
                    text = TryParseReal(text, &pressure) ? FormatPattern(pressure * 0.0980665, u"0.##") : QString();
                }
            }
            WriteCell(doc, table, y, j, text);
            if (style.statement && i == 0)
                doc.SetAlignment(kAlignCenter);
            if (FirstCell(line).contains(texts::kDateCell) && j - 1 < int(widths.size()))
                FitHeadingCell(doc, table, y, j, widths[size_t(j - 1)], fit.cellMargin, fit.fontSize, text);
        }
        if (FirstCell(line).contains(texts::kDateCell)) {
            doc.SelectCell(table, y, 1);
            doc.SetHeadingRows();
        }
        if (i + 1 < count) {
            if (doc.ColumnWidth(table, 1) < 50)
                doc.SetColumnWidthProportional(table, 1, 50);
            doc.AppendRow();
            ++y;
        }
        if (FirstCell(line) == texts::kDateCell)
            rows[i].clear();
        else
            rows[i] = FirstCell(line) + u'\t' + line.mid(line.lastIndexOf(u'\t') + 1);
        if (progress && (i % 512) == 0)
            progress(static_cast<int>(10 + 70 * i / count));
    }
}

// A small table stays on one page, with what follows it.
void KeepTableTogether(TWordDocument &doc, int table)
{
    doc.SelectTable(table);
    doc.SetKeepWithNext(true);
    doc.SelectCell(table, 1, 1);
    doc.SetHeadingRows();
}

// The integrator table of a protocol: the label and the selected positions.
void WriteIntegratorTable(TWordDocument &doc, const RowList &lines, const ReportSelection &s)
{
    static const int kHeatItems[] = {0, 1, 2, 4, 5, 12, 13};
    static const int kColdItems[] = {0, 3, 4};
    const bool cold = s.heatSystem == kColdWater;
    const int *items = cold ? kColdItems : kHeatItems;
    const int itemCount = cold ? 3 : 7;
    int columns = 1;
    for (int k = 0; k < itemCount; ++k)
        columns += s.Checked(items[k]) ? 1 : 0;

    doc.AddTable(1, columns);
    const int table = doc.TableCount();
    doc.SelectTable(table);
    doc.SetSpaceAfter(0);
    int y = 1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList cells = CellsOf(lines[i]);
        int column = 0;
        for (int c = 0; c < cells.size(); ++c) {
            const bool wanted = c == 0 || (c <= itemCount && s.Checked(items[c - 1]));
            if (!wanted)
                continue;
            WriteCell(doc, table, y, ++column, cells[c]);
        }
        if (i + 1 < lines.size()) {
            doc.AppendRow();
            ++y;
        }
    }
    KeepTableTogether(doc, table);
}

// The faults table: every data line whose abnormal-situation words have a bit set.
void WriteFaultsTable(TWordDocument &doc, const RowList &lines, int heatSystem)
{
    const bool cold = heatSystem == kColdWater;
    doc.AddTable(1, cold ? 2 : 3);
    FrameLastTable(doc);
    const int table = doc.TableCount();
    doc.SelectTable(table);
    doc.SetSpaceAfter(0);
    WriteCell(doc, table, 1, 1, texts::kDateCell);
    WriteCell(doc, table, 1, 2, texts::kFault1);
    if (!cold)
        WriteCell(doc, table, 1, 3, texts::kFault2);
    doc.SelectCell(table, 1, 1);
    doc.SetHeadingRows();
    int y = 1;
    for (const QString &line : lines) {
        if (line.isEmpty())
            continue;
        const qsizetype tab = line.indexOf(u'\t');
        if (tab < 0)
            continue;
        const QString date = line.left(tab);
        const QStringList words = line.mid(tab + 1).split(u' ');
        bool ok1 = false, ok2 = true;
        const int w1 = words.value(0).toInt(&ok1);
        const int w2 = cold ? 0 : words.value(1).toInt(&ok2);
        if (!ok1 || !ok2 || words.size() != (cold ? 1 : 2))
            continue; // totals and means carry no words
        if (CountFlags(w1) == 0 && CountFlags(w2) == 0)
            continue;
        doc.AppendRow();
        ++y;
        WriteCell(doc, table, y, 1, date);
        // One name per line of the cell.
        WriteCell(doc, table, y, 2, FlagNames(2 * heatSystem + 1, w1).replace(u'\n', u'\r'));
        if (!cold)
            WriteCell(doc, table, y, 3, FlagNames(2 * heatSystem + 2, w2).replace(u'\n', u'\r'));
    }
}

void WriteSignatures(TWordDocument &doc)
{
    doc.AddTable(5, 2);
    const int table = doc.TableCount();
    WriteCell(doc, table, 1, 1, texts::kSignature1);
    WriteCell(doc, table, 1, 2, texts::kSignature2);
    WriteCell(doc, table, 2, 1, texts::kConsumer);
    WriteCell(doc, table, 2, 2, texts::kSupplier);
    doc.SelectTable(table);
    doc.SetKeepWithNext(true);
}

// A picture that cannot be placed leaves the page header empty; the report goes on.
void WriteHeaderPicture(TWordDocument &doc, bool landscape)
{
    const QByteArray picture = ReportHeaderPicture(landscape);
    if (picture.isEmpty())
        return;
    if (landscape)
        doc.AddHeaderPicture(picture, -30, -20, 800, 550);
    else
        doc.AddHeaderPicture(picture, -60, -20, 550, 800);
}

void NoteReplacedCharacters(TWordDocument &doc)
{
    if (doc.ReplacedCharacters() > 0)
        doc.AddNote(texts::kNoteReplacedCharacters.arg(doc.ReplacedCharacters()));
}

void Report(const ReportProgress &progress, int percent)
{
    if (progress)
        progress(percent);
}

} // namespace

ReportMeter ReadReportMeter(Registry &registry, int meterNumber)
{
    ReportMeter m;
    if (meterNumber <= 0)
        return m;
    ProfileFile &file = registry.file();
    const QString section = MeterSection(meterNumber);
    m.serial = file.ReadString(section, reg::kSerial).trimmed();
    m.name = file.ReadString(section, reg::kName);
    m.phone = file.ReadString(section, reg::kPhone);
    m.abonNo = file.ReadString(section, reg::kAbonNo);
    m.physAddress = file.ReadString(section, reg::kPhysAddress);
    m.person = file.ReadString(section, reg::kPerson);
    m.du = file.ReadString(section, reg::kDU);
    m.duNumber = static_cast<int>(file.ReadInteger(section, reg::kDU, kDefaultDU));
    m.measuringClass = static_cast<int>(file.ReadInteger(section, reg::kClass, 0));
    m.devType = static_cast<int>(file.ReadInteger(section, reg::kDevType, 1));
    return m;
}

QString BuildProtocolReport(const ReportOptions &options, TWordDocument &doc, const ReportProgress &progress)
{
    const ReportSelection &s = options.selection;
    const ReportMeter &m = options.meter;
    const QString refusal = CheckPeriod(s);
    if (!refusal.isEmpty())
        return refusal;
    Report(progress, 0);

    if (options.orientation == 1)
        doc.SetLandscape(true);
    WriteTitleAndPeriod(doc, Title(s.kind), s, true);

    // Consumer header: no borders, rows at least 10 pt so a long name or address wraps, never cut.
    doc.AddTable(5, 2);
    int table = 1;
    WriteCell(doc, table, 1, 1, texts::kConsumerName + m.name);
    WriteCell(doc, table, 1, 2, texts::kPhone + m.phone);
    WriteCell(doc, table, 2, 1, texts::kAbonNo + m.abonNo);
    WriteCell(doc, table, 2, 2, texts::kAddress + m.physAddress);
    WriteCell(doc, table, 3, 1, texts::kPerson + m.person);
    WriteCell(doc, table, 3, 2, texts::kDU + m.du);
    WriteCell(doc, table, 4, 1, texts::kHeatSystem + HeatSystemText(s));
    WriteCell(doc, table, 5, 1, texts::kCalculator + DeviceTypeText(m.devType));
    WriteCell(doc, table, 5, 2, texts::kSerialNo + m.serial);
    doc.SetColumnWidth(table, 1, 300);
    doc.SetColumnWidth(table, 2, 150);
    doc.SelectTable(table);
    doc.SetRowHeightAtLeast(10);
    doc.LeaveTable();
    doc.TypeParagraph();

    // Data table.
    RowList rows;
    float operating = 0, stop = 0;
    ReportTotals totals;
    const int columns = std::max(2, BuildProtocolRows(s, rows, &operating, &stop, &totals));
    Report(progress, 10);
    doc.SetFontSize(8);
    doc.AddTable(1, columns);
    FrameLastTable(doc);
    doc.SelectTable(doc.TableCount());
    doc.SetSpaceAfter(0);
    WriteDataTable(doc, rows, s.kind, options.breakPages, DataTableStyle{}, progress);
    FrameLastTableAndLeave(doc);
    doc.SetFontSize(8);
    // From here to the signatures every paragraph keeps with the next: no signature alone on a page.
    doc.SetKeepWithNext(true);
    Report(progress, 80);

    if (s.kind <= kMonthlyReport) {
        if (options.showIntegrators) {
            doc.TypeParagraph();
            doc.TypeText(texts::kIntegratorsTitle);
            RowList readings;
            const ReportPeriod period = MakeReportPeriod(s);
            BuildIntegratorRows(s, readings, period.start, period.end, totals, s.kind);
            WriteIntegratorTable(doc, readings, s);
            FrameLastTableAndLeave(doc);
        }
        doc.TypeParagraph();
        doc.TypeText(texts::kNormalWork + Hours(operating) + texts::kHoursSuffix);
        doc.TypeParagraph();
        doc.TypeText(texts::kNoCount + Hours(stop) + texts::kHoursSuffix);
        doc.TypeParagraph();
    }
    if (options.detail && options.detailVisible) {
        WriteFaultsTable(doc, rows, s.heatSystem);
        FrameLastTableAndLeave(doc);
        doc.TypeParagraph();
    }
    if (s.kind == kJournalReport)
        doc.TypeParagraph();
    Report(progress, 90);

    WriteSignatures(doc);
    WriteHeaderPicture(doc, options.orientation == 1);
    NoteReplacedCharacters(doc);
    doc.Protect(kReportPassword);
    Report(progress, 100);
    return {};
}

QString BuildHeatStatement(ReportOptions options, TWordDocument &doc, const ReportProgress &progress)
{
    ApplyStatementSelection(options.selection);
    options.breakPages = false;
    const ReportSelection &s = options.selection;
    const ReportMeter &m = options.meter;
    const QString refusal = CheckPeriod(s);
    if (!refusal.isEmpty())
        return refusal;
    Report(progress, 0);

    doc.SetLandscape(true);
    WriteTitleAndPeriod(doc, texts::kStatementTitle, s, false);

    const StatementLimits limits = ReadStatementLimits(s.dataRoot, s.serial, m.duNumber, m.measuringClass,
                                                       s.heatSystem);
    doc.AddTable(4, 2);
    int table = 1;
    WriteCell(doc, table, 1, 1, texts::kAddress + m.physAddress);
    WriteCell(doc, table, 2, 1, texts::kStatementAbonNo + m.abonNo);
    WriteCell(doc, table, 2, 2, texts::kMeterType + DeviceTypeText(m.devType));
    WriteCell(doc, table, 3, 1, texts::kGmin + FormatPattern(limits.gmin, u"0.###") + texts::kFlowUnit);
    WriteCell(doc, table, 3, 2, texts::kMeterNumber + m.serial);
    WriteCell(doc, table, 4, 1, texts::kGmax + FormatPattern(limits.gmax, u"0.#") + texts::kFlowUnit);
    WriteCell(doc, table, 4, 2, texts::kHeatSystem + HeatSystemText(s));
    doc.SetColumnWidth(table, 1, 500);
    doc.SetColumnWidth(table, 2, 200);
    doc.LeaveTable();
    doc.TypeParagraph();

    RowList rows;
    float operating = 0, stop = 0;
    ReportTotals totals;
    StatementHours shown;
    const int columns = std::max(2, BuildStatementRows(s, rows, &operating, &stop, &totals, limits.gmin, limits.gmax,
                                                       limits.version, &shown));
    Report(progress, 10);
    doc.SetFontSize(8);
    doc.AddTable(1, columns);
    FrameLastTable(doc);
    table = doc.TableCount();
    doc.SelectTable(table);
    doc.SetSpaceAfter(0);
    // Row 1 stays for the group headings.
    doc.SelectCell(table, 1, 1);
    doc.AppendRow();
    const TableFit statementFit = FitDataTable(DataColumnWidths(doc, table), rows);
    WriteDataTable(doc, rows, s.kind, options.breakPages, DataTableStyle{true, 2}, progress);
    Report(progress, 80);

    // Group headings over the header line; cell numbers shift as cells are merged.
    table = doc.TableCount();
    const struct
    {
        int cell;
        int down;  // rows to extend down
        int right; // cells to extend right
        QString heading;
    } headings[] = {
        {1, 1, 0, QString()},
        {2, 1, 0, texts::kHeadingHeat},
        {3, 0, 3, texts::kHeadingMass},
        {4, 0, 2, texts::kHeadingTemperature},
        {5, 0, 1, texts::kHeadingPressure},
        {6, 0, 1, texts::kHeadingTime},
    };
    int lastCell = 1;
    int column = 1;
    const int headingFont = statementFit.fontSize;
    const double headingMargin = statementFit.cellMargin;
    for (const auto &h : headings) {
        if (h.cell > doc.CellCount(table, 1))
            break;
        doc.SelectCell(table, 1, h.cell);
        if (h.down > 0)
            doc.ExtendSelectionDown(h.down);
        if (h.right > 0)
            doc.ExtendSelectionRight(h.right);
        doc.MergeCells();
        doc.SetAlignment(kAlignCenter);
        if (!h.heading.isEmpty())
            doc.TypeText(h.heading);
        double width = 0;
        for (int k = 0; k <= h.right; ++k)
            width += doc.ColumnWidth(table, column + k);
        column += h.right + 1;
        FitHeadingCell(doc, table, 1, h.cell, width, headingMargin, headingFont, h.heading);
        lastCell = h.cell;
    }
    doc.SelectCell(table, 1, 1);
    doc.SetHeadingRows();
    doc.SelectCell(table, 1, lastCell);
    FrameLastTableAndLeave(doc);
    doc.SetFontSize(8);
    // From here to the signature lines every paragraph keeps with the next.
    doc.SetKeepWithNext(true);

    // Downtime.
    doc.TypeParagraph();
    doc.TypeText(texts::kDowntimeFormula);
    doc.TypeParagraph();
    doc.TypeText(texts::kPeriodHours + Hours(static_cast<double>(operating) + stop));
    doc.TypeParagraph();
    doc.TypeText(texts::kWorkHours + Hours(operating));
    const DowntimeTerms downtime = StatementDowntime(s, limits.version, limits.gmin, limits.gmax, operating, stop);
    doc.TypeParagraph();
    doc.TypeText(texts::kDowntimePrefix + Hours(downtime.work) + u'+' + Hours(downtime.tmax) + u'+'
                 + Hours(downtime.tmin) + u'+' + Hours(downtime.tdt) + u'+' + Hours(downtime.other));

    // Integrator readings at the period ends.
    doc.TypeParagraph();
    const QList<QStringList> readings = BuildStatementReadings(s, totals, shown);
    doc.AddTable(6, 4);
    table = doc.TableCount();
    doc.SelectTable(table);
    doc.SetSpaceAfter(0);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 4; ++c)
            WriteCell(doc, table, r + 1, c + 1, readings[r][c]);
    KeepTableTogether(doc, table);
    FrameLastTableAndLeave(doc);

    doc.SelectTable(table);
    doc.LeaveTable();
    doc.TypeParagraph();
    doc.TypeText(texts::kConsumerRepresentative);
    doc.TypeParagraph();
    doc.TypeText(texts::kSupplierRepresentative);
    Report(progress, 90);

    WriteHeaderPicture(doc, true);
    NoteReplacedCharacters(doc);
    doc.Protect(kReportPassword);
    Report(progress, 100);
    return {};
}

QByteArray ReportHeaderPicture(bool landscape)
{
    QFile file(landscape ? QStringLiteral(":/BITMAP_0_landscape.png") : QStringLiteral(":/BITMAP_0.png"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString DocxFileName(const QString &fileName)
{
    if (fileName.endsWith(QStringLiteral(".doc"), Qt::CaseInsensitive))
        return fileName + u'x';
    return fileName;
}

QString ReportFileBaseName(const ReportOptions &options, bool statement)
{
    static const char16_t *const kinds[] = {u"Часовой протокол", u"Суточный протокол", u"Месячный протокол",
                                            u"Журнал"};
    const ReportSelection &s = options.selection;
    const QString kind = statement ? QStringLiteral("Ведомость") : QString::fromUtf16(kinds[qBound(0, s.kind, 3)]);
    return kind + u' ' + options.meter.serial + u' ' + DateText(s.from.date()) + u'-' + DateText(s.to.date());
}

} // namespace qst
