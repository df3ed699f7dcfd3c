#include "TableExport.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "storage/ArchiveView.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <map>

namespace qst {

namespace {

struct Decimals
{
    int min = 0;
    int max = 0;
};

// "0.##" -> 0..2, "0.00" -> 2..2, "0.####" -> 0..4.
Decimals PatternDecimals(QStringView pattern)
{
    Decimals d;
    const qsizetype point = pattern.indexOf(u'.');
    if (point < 0)
        return d;
    for (QChar c : pattern.mid(point + 1)) {
        if (c == u'0')
            ++d.min;
        ++d.max;
    }
    return d;
}

ExportCell NumberCell(double value, QStringView pattern)
{
    const Decimals d = PatternDecimals(pattern);
    ExportCell cell;
    cell.kind = CellKind::Number;
    cell.number = value;
    cell.minDecimals = d.min;
    cell.maxDecimals = d.max;
    return cell;
}

ExportCell IntegerCell(qint64 value)
{
    ExportCell cell;
    cell.kind = CellKind::Integer;
    cell.number = static_cast<double>(value);
    return cell;
}

ExportCell TimeCell(double dayCount, bool dateOnly)
{
    ExportCell cell;
    cell.kind = dateOnly ? CellKind::Date : CellKind::DateTime;
    cell.number = dayCount;
    return cell;
}

ExportCell TextCell(const QString &text)
{
    ExportCell cell;
    cell.kind = CellKind::Text;
    cell.text = text;
    return cell;
}

ArchivePageKind PageKind(ExportKind kind)
{
    switch (kind) {
    case ExportKind::Daily:
        return ArchivePageKind::Daily;
    case ExportKind::Monthly:
        return ArchivePageKind::Monthly;
    default:
        return ArchivePageKind::Hourly;
    }
}

ArchiveTable TableOf(int heatSystem)
{
    if (heatSystem == kHeatSystem2)
        return ArchiveTable::HeatSystem2;
    if (heatSystem == kColdWater)
        return ArchiveTable::ColdWater;
    return ArchiveTable::HeatSystem1;
}

struct HistoryColumn
{
    const char16_t *title;
    int group; // 0 temperatures and pressures, 1 totals, 2 rates, 3 abnormal-situation words, 4 hours
    int index;
    const char16_t *pattern;
};

const HistoryColumn kHistoryColumns[] = {
    { u"Т1 (°С)", 0, 0, u"0.##" },
    { u"Т2 (°С)", 0, 1, u"0.##" },
    { u"Т3 (°С)", 0, 2, u"0.##" },
    { u"Т4 (°С)", 0, 3, u"0.##" },
    { u"Т5 (°С)", 0, 4, u"0.##" },
    { u"Т6 (°С)", 0, 5, u"0.##" },
    { u"Р1 (кгс/см^2)", 0, 6, u"0.##" },
    { u"Р2 (кгс/см^2)", 0, 7, u"0.##" },
    { u"Р3 (кгс/см^2)", 0, 8, u"0.##" },
    { u"Р4 (кгс/см^2)", 0, 9, u"0.##" },
    { u"Q1 (ГКал)", 1, 0, u"0.####" },
    { u"Q2 (ГКал)", 1, 1, u"0.####" },
    { u"М1 (тонн)", 1, 2, u"0.###" },
    { u"М2 (тонн)", 1, 3, u"0.###" },
    { u"М3 (тонн)", 1, 4, u"0.###" },
    { u"М4 (тонн)", 1, 5, u"0.###" },
    { u"V1 (м^3)", 1, 6, u"0.###" },
    { u"V2 (м^3)", 1, 7, u"0.###" },
    { u"V3 (м^3)", 1, 8, u"0.###" },
    { u"V4 (м^3)", 1, 9, u"0.###" },
    { u"V5 (м^3)", 1, 10, u"0.###" },
    { u"G1 (ГКал/ч)", 2, 0, u"0.####" },
    { u"G2 (ГКал/ч)", 2, 1, u"0.####" },
    { u"Fm1 (т/ч)", 2, 2, u"0.###" },
    { u"Fm2 (т/ч)", 2, 3, u"0.###" },
    { u"Fm3 (т/ч)", 2, 4, u"0.###" },
    { u"Fm4 (т/ч)", 2, 5, u"0.###" },
    { u"Fv1 (м^3/ч)", 2, 6, u"0.###" },
    { u"Fv2 (м^3/ч)", 2, 7, u"0.###" },
    { u"Fv3 (м^3/ч)", 2, 8, u"0.###" },
    { u"Fv4 (м^3/ч)", 2, 9, u"0.###" },
    { u"Fv5 (м^3/ч)", 2, 10, u"0.###" },
    { u"НС1", 3, 0, nullptr },
    { u"НС2", 3, 1, nullptr },
    { u"НС3", 3, 2, nullptr },
    { u"НС4", 3, 3, nullptr },
    { u"НС5", 3, 4, nullptr },
    { u"ВНР1 (час)", 4, 0, u"0.##" },
    { u"ВНС1 (час)", 4, 1, u"0.##" },
    { u"ВНР2 (час)", 4, 2, u"0.##" },
    { u"ВНС2 (час)", 4, 3, u"0.##" },
    { u"ВНР3 (час)", 4, 4, u"0.##" },
    { u"ВНС3 (час)", 4, 5, u"0.##" },
};

ExportCell HistoryCell(const CurrentHistoryRecord &r, const HistoryColumn &c)
{
    switch (c.group) {
    case 0:
        return NumberCell(r.tempsPressures[c.index], c.pattern);
    case 1:
        return NumberCell(r.totals[c.index], c.pattern);
    case 2:
        return NumberCell(r.rates[c.index], c.pattern);
    case 3:
        return IntegerCell(r.ns[c.index]);
    default:
        return NumberCell(r.hours[c.index], c.pattern);
    }
}

const QString kDateTimeTitle = QStringLiteral("Дата/время");

QString NumberText(const ExportCell &cell, CsvDialect dialect)
{
    QString text = FormatFixed(cell.number, cell.minDecimals, cell.maxDecimals);
    if (dialect == CsvDialect::Plain)
        text.replace(kDecimalSeparator, u'.');
    return text;
}

void AppendField(QString &out, const QString &field, QChar separator)
{
    const bool quote
        = field.contains(separator) || field.contains(u'"') || field.contains(u'\r') || field.contains(u'\n');
    if (!quote) {
        out += field;
        return;
    }
    out += u'"';
    for (QChar c : field) {
        if (c == u'"')
            out += u'"';
        out += c;
    }
    out += u'"';
}

void AppendRecord(QString &out, const QStringList &fields, QChar separator)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += separator;
        AppendField(out, fields[i], separator);
    }
    out += QStringLiteral("\r\n");
}

// Through the one checked save: the whole file or the old one, with the system's reason.
bool SaveWhole(const QString &path, const QByteArray &bytes, QString *error)
{
    try {
        SaveFileBytes(path, bytes);
        return true;
    } catch (const StorageError &e) {
        *error = e.message();
        return false;
    }
}

// A spreadsheet cell holds at most 32,767 characters; a longer text is cut and marked
// rather than left out (the writer drops it whole otherwise).
QByteArray SheetText(const QString &text)
{
    if (text.size() <= kSheetCellLimit)
        return text.toUtf8();
    qsizetype keep = kSheetCellLimit - kSheetCutMark.size();
    if (text[keep - 1].isHighSurrogate())
        --keep;
    return (text.left(keep) + kSheetCutMark).toUtf8();
}

// A report cell as text, a date, a date-time or a number with the digits it shows.
ExportCell ReportCell(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return TextCell(text);
    if (trimmed.contains(u'.') && !trimmed.contains(u',')) {
        const QDateTime dt = ParseDateTimeText(trimmed);
        if (dt.isValid()) {
            const bool dateOnly = !trimmed.contains(u':');
            return TimeCell(DayCountFromDateTime(dt), dateOnly);
        }
    }
    double value = 0;
    if (!trimmed.contains(u'E', Qt::CaseInsensitive) && TryParseReal(trimmed, &value)) {
        const qsizetype point = std::max(trimmed.indexOf(u','), trimmed.indexOf(u'.'));
        const int decimals = point < 0 ? 0 : int(trimmed.size() - point - 1);
        ExportCell cell = NumberCell(value, u"");
        cell.minDecimals = cell.maxDecimals = decimals;
        return cell;
    }
    return TextCell(text);
}

QStringList RowCells(const QString &row)
{
    QStringList cells = row.split(u'\t');
    cells.removeLast(); // text after the last TAB is not a cell
    return cells;
}

} // namespace

QString CellText(const ExportCell &cell, CsvDialect dialect)
{
    switch (cell.kind) {
    case CellKind::DateTime:
        if (dialect == CsvDialect::Plain)
            return DateTimeFromDayCount(cell.number).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        return DateTimeText(cell.number);
    case CellKind::Date:
        if (dialect == CsvDialect::Plain)
            return DateFromDayCount(cell.number).toString(Qt::ISODate);
        return DateText(DateFromDayCount(cell.number));
    case CellKind::Number:
        return NumberText(cell, dialect);
    case CellKind::Integer:
        return FormatInt(static_cast<qint64>(cell.number));
    case CellKind::Text:
        break;
    }
    return cell.text;
}

QString SkippedNote(const ExportTable &table)
{
    if (table.skippedLines == 0)
        return {};
    return QStringLiteral("Пропущено нечитаемых строк: %1").arg(table.skippedLines);
}

ExportTable ExportArchive(
    const QString &dataRoot, const QString &serial, ExportKind kind, int heatSystem, double from, double to)
{
    ExportTable table;
    const ArchivePeriod period { from, to };
    if (kind == ExportKind::Journal) {
        table.header = { kDateTimeTitle, QStringLiteral("Запись журнала"), QStringLiteral("Старое значение"),
            QStringLiteral("Новое значение") };
        for (const JARecord &r : LoadJournalRecords(dataRoot, serial, period, &table.skippedLines))
            table.rows.append(
                { TimeCell(r.time, false), TextCell(r.text), TextCell(r.oldValue), TextCell(r.newValue) });
        return table;
    }
    if (kind == ExportKind::CurrentHistory) {
        table.header << kDateTimeTitle;
        for (const HistoryColumn &c : kHistoryColumns)
            table.header << QString::fromUtf16(c.title);
        for (const CurrentHistoryRecord &r : LoadHistoryRecords(dataRoot, serial, period, &table.skippedLines)) {
            QList<ExportCell> row;
            row.reserve(std::size(kHistoryColumns) + 1);
            row.append(TimeCell(r.time, false));
            for (const HistoryColumn &c : kHistoryColumns)
                row.append(HistoryCell(r, c));
            table.rows.append(std::move(row));
        }
        return table;
    }
    const QList<ArchiveColumn> columns = ArchiveColumns(TableOf(heatSystem));
    for (const ArchiveColumn &c : columns)
        table.header << c.title;
    const bool dateOnly = kind != ExportKind::Hourly;
    const QList<ArchiveRecord> records
        = LoadArchiveRecords(dataRoot, serial, PageKind(kind), period, &table.skippedLines);
    table.rows.reserve(records.size());
    for (const ArchiveRecord &r : records) {
        QList<ExportCell> row;
        row.reserve(columns.size());
        for (const ArchiveColumn &c : columns) {
            const double value = ArchiveColumnValue(r, c);
            if (c.field == 0)
                row.append(TimeCell(value, dateOnly));
            else if (!c.pattern)
                row.append(IntegerCell(static_cast<qint64>(value)));
            else
                row.append(NumberCell(value, QStringView(c.pattern)));
        }
        table.rows.append(std::move(row));
    }
    return table;
}

ExportTable ExportReportRows(const RowList &rows)
{
    ExportTable table;
    QString headerRow;
    for (const QString &row : rows) {
        if (headerRow.isEmpty()) {
            headerRow = row;
            table.header = RowCells(row);
            continue;
        }
        if (row == headerRow)
            continue;
        QList<ExportCell> cells;
        for (const QString &text : RowCells(row))
            cells.append(ReportCell(text));
        table.rows.append(std::move(cells));
    }
    return table;
}

QString CsvText(const ExportTable &table, CsvDialect dialect)
{
    const QChar separator = dialect == CsvDialect::Plain ? u',' : u';';
    QString out;
    out.reserve((table.rows.size() + 2) * qsizetype(table.header.size()) * 8);
    AppendRecord(out, table.header, separator);
    QStringList fields;
    for (const QList<ExportCell> &row : table.rows) {
        fields.clear();
        for (const ExportCell &cell : row)
            fields.append(CellText(cell, dialect));
        AppendRecord(out, fields, separator);
    }
    const QString note = SkippedNote(table);
    if (!note.isEmpty())
        AppendRecord(out, { note }, separator);
    return out;
}

bool WriteCsv(const ExportTable &table, const QString &path, const CsvOptions &options, QString *error)
{
    const QString text = CsvText(table, options.dialect);
    QByteArray bytes;
    if (options.encoding == CsvEncoding::Windows1251) {
        QStringEncoder encoder("windows-1251");
        bytes = encoder.encode(text);
    } else {
        bytes = QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
    }
    return SaveWhole(path, bytes, error);
}

bool WriteXlsx(const ExportTable &table, const QString &path, QString *error)
{
    QTemporaryDir work;
    if (!work.isValid()) {
        *error = work.errorString();
        return false;
    }
    const QByteArray workFile = QFile::encodeName(work.filePath(QStringLiteral("export.xlsx")));
    lxw_workbook *book = workbook_new(workFile.constData());
    if (!book) {
        *error = QStringLiteral("cannot create the workbook");
        return false;
    }
    lxw_worksheet *sheet = workbook_add_worksheet(book, nullptr);
    lxw_format *headerFormat = workbook_add_format(book);
    format_set_bold(headerFormat);
    format_set_text_wrap(headerFormat);
    lxw_format *dateTimeFormat = workbook_add_format(book);
    format_set_num_format(dateTimeFormat, "dd.mm.yyyy hh:mm:ss");
    lxw_format *dateFormat = workbook_add_format(book);
    format_set_num_format(dateFormat, "dd.mm.yyyy");
    lxw_format *integerFormat = workbook_add_format(book);
    format_set_num_format(integerFormat, "0");
    // A fixed number of decimals keeps its zeros; "0.##" and the like become the value
    // rounded as the page shows it in the general format, which has no dangling separator.
    std::map<int, lxw_format *> fixedFormats;
    auto fixedFormat = [&](int decimals) {
        auto it = fixedFormats.find(decimals);
        if (it != fixedFormats.end())
            return it->second;
        lxw_format *format = workbook_add_format(book);
        const QByteArray code = "0." + QByteArray(decimals, '0');
        format_set_num_format(format, code.constData());
        return fixedFormats.emplace(decimals, format).first->second;
    };

    QList<int> widths(table.header.size(), 8);
    auto widen = [&](int column, qsizetype chars) {
        if (column >= widths.size())
            widths.resize(column + 1, 8);
        widths[column] = std::max(widths[column], int(std::min<qsizetype>(chars + 2, 60)));
    };
    for (int c = 0; c < table.header.size(); ++c) {
        worksheet_write_string(sheet, 0, lxw_col_t(c), SheetText(table.header[c]).constData(), headerFormat);
        widen(c, std::min<qsizetype>(table.header[c].size(), 16));
    }
    lxw_row_t row = 1;
    for (const QList<ExportCell> &cells : table.rows) {
        for (int c = 0; c < cells.size(); ++c) {
            const ExportCell &cell = cells[c];
            const lxw_col_t col = lxw_col_t(c);
            switch (cell.kind) {
            case CellKind::DateTime:
                worksheet_write_number(sheet, row, col, cell.number, dateTimeFormat);
                widen(c, 19);
                break;
            case CellKind::Date:
                worksheet_write_number(sheet, row, col, cell.number, dateFormat);
                widen(c, 10);
                break;
            case CellKind::Integer:
                worksheet_write_number(sheet, row, col, cell.number, integerFormat);
                break;
            case CellKind::Number: {
                const QString text = FormatFixed(cell.number, cell.minDecimals, cell.maxDecimals);
                double shown = cell.number;
                TryParseReal(text, &shown);
                lxw_format *format = cell.minDecimals > 0 && cell.minDecimals == cell.maxDecimals
                    ? fixedFormat(cell.minDecimals)
                    : nullptr;
                worksheet_write_number(sheet, row, col, shown, format);
                widen(c, text.size());
                break;
            }
            case CellKind::Text:
                worksheet_write_string(sheet, row, col, SheetText(cell.text).constData(), nullptr);
                widen(c, cell.text.size());
                break;
            }
        }
        ++row;
    }
    const QString note = SkippedNote(table);
    if (!note.isEmpty())
        worksheet_write_string(sheet, row + 1, 0, note.toUtf8().constData(), nullptr);
    for (int c = 0; c < widths.size(); ++c)
        worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), widths[c], nullptr);
    worksheet_freeze_panes(sheet, 1, 0);

    errno = 0;
    const lxw_error result = workbook_close(book);
    const int closeError = errno;
    if (result != LXW_NO_ERROR) {
        *error = QString::fromUtf8(lxw_strerror(result));
        if (closeError != 0)
            *error += QStringLiteral(": ") + SystemErrorText(closeError);
        return false;
    }
    try {
        return SaveWhole(path, ReadFileBytes(QFile::decodeName(workFile)), error);
    } catch (const StorageError &e) {
        *error = e.message();
        return false;
    }
}

} // namespace qst
