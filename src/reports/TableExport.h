#pragma once

#include "reports/ReportTables.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace qst {

// What a spreadsheet cell holds: a date or date-time (a day count, which is also the
// spreadsheet's serial date), a number shown with up to `maxDecimals` digits, an integer, or text.
enum class CellKind {
    DateTime,
    Date,
    Number,
    Integer,
    Text,
};

struct ExportCell
{
    CellKind kind = CellKind::Text;
    double number = 0;
    int minDecimals = 0;
    int maxDecimals = 0;
    QString text;
};

struct ExportTable
{
    QStringList header;
    QList<QList<ExportCell>> rows;
    int skippedLines = 0; // unreadable lines left out, reported in a note line
};

// The note under the table when lines were left out; empty otherwise.
QString SkippedNote(const ExportTable &table);

enum class ExportKind {
    Hourly,
    Daily,
    Monthly,
    Journal,
    CurrentHistory,
};

// The records of a meter's archive kind over [from, to] as the archive page shows them:
// the page's columns of heat system `heatSystem` (kHeatSystem1, kHeatSystem2, kColdWater)
// for the archive kinds. A meter without files gives an empty table with its header.
ExportTable ExportArchive(
    const QString &dataRoot, const QString &serial, ExportKind kind, int heatSystem, double from, double to);

// A report's row list (report-rows): the first header row becomes the table header, its
// repetitions are dropped, numbers and dates become numbers and dates.
ExportTable ExportReportRows(const RowList &rows);

enum class CsvDialect {
    Russian, // ';' between fields, decimal comma, dates dd.MM.yyyy H:mm:ss
    Plain, // ',' between fields, decimal point, ISO 8601 dates
};

enum class CsvEncoding {
    Utf8Bom,
    Windows1251,
};

struct CsvOptions
{
    CsvDialect dialect = CsvDialect::Russian;
    CsvEncoding encoding = CsvEncoding::Utf8Bom;
};

// A cell as the dialect writes it.
QString CellText(const ExportCell &cell, CsvDialect dialect);

// The CSV text (RFC 4180 quoting, CR LF line ends), before encoding.
QString CsvText(const ExportTable &table, CsvDialect dialect);

// The most characters a spreadsheet cell holds; a longer text is cut to it, ending in the mark.
constexpr qsizetype kSheetCellLimit = 32767;
inline const QString kSheetCutMark = QStringLiteral("…[обрезано]");

// Write the whole file or nothing: on failure the reason (the system's) is in *error and no
// file, partial or temporary, is left at `path`; an existing file stays as it was.
bool WriteCsv(const ExportTable &table, const QString &path, const CsvOptions &options, QString *error);
bool WriteXlsx(const ExportTable &table, const QString &path, QString *error);

} // namespace qst
