#pragma once

// What a document holds once the reports have driven it: the body's paragraphs and tables,
// the page, the header picture and the protection. TWordDocument builds it; the .docx writer
// reads it.

#include <QByteArray>
#include <QString>

#include <cmath>
#include <memory>
#include <vector>

namespace qst::docx {

// A4 in twips; margins as the reports were laid out (3 cm binding edge, 1.5 cm right).
constexpr int kA4Width = 11906;
constexpr int kA4Height = 16838;

constexpr int CmToTwips(double cm)
{
    return int(cm * 1440.0 / 2.54 + 0.5);
}

constexpr int kMarginLeft = CmToTwips(3.0);
constexpr int kMarginRight = CmToTwips(1.5);
constexpr int kMarginTop = CmToTwips(2.0);
constexpr int kMarginBottom = CmToTwips(2.0);
constexpr int kHeaderDistance = CmToTwips(1.25);

constexpr int kDefaultFontSize = 12;
// Left and right cell margin of a table, in points, unless the table sets its own.
constexpr double kDefaultCellMargin = 5.4;

struct Run
{
    // Sanitised text: '\v' stands for a line break, '\t' for a tab.
    QString text;
    int fontSize = kDefaultFontSize;
};

struct Paragraph
{
    std::vector<Run> runs;
    int alignment = 0; // WordAlignment
    int spaceAfter = -1; // points; -1: the style's
    int markFontSize = kDefaultFontSize;
    // Starts a new page, unless it already stands at the top of one.
    bool pageBreak = false;
    // Kept on the page of what follows it.
    bool keepNext = false;

    bool IsEmpty() const { return runs.empty() && !pageBreak; }
    // A new paragraph after this one: same settings, no content.
    Paragraph Follower(int fontSize) const
    {
        Paragraph p;
        p.alignment = alignment;
        p.spaceAfter = spaceAfter;
        p.markFontSize = fontSize;
        p.keepNext = keepNext;
        return p;
    }
};

enum class VMerge {
    None,
    Restart,
    Continue,
};

struct Cell
{
    std::vector<Paragraph> paragraphs;
    int gridSpan = 1;
    VMerge vMerge = VMerge::None;

    bool HasText() const
    {
        for (const Paragraph &p : paragraphs)
            if (!p.IsEmpty())
                return true;
        return false;
    }
};

enum class HeightRule {
    Auto,
    Exactly,
    AtLeast,
};

struct Row
{
    std::vector<Cell> cells;
    HeightRule heightRule = HeightRule::Auto;
    double height = 0; // points
    // A heading row: repeated at the top of every page the table runs onto.
    bool heading = false;
};

struct Table
{
    std::vector<Row> rows;
    std::vector<double> gridWidths; // points
    bool framed = false;
    double cellMargin = kDefaultCellMargin; // left and right, points
};

// A body block: a table when `table` is set, a paragraph otherwise.
struct Block
{
    Paragraph paragraph;
    std::unique_ptr<Table> table;
};

struct HeaderPicture
{
    QByteArray bytes; // empty: no picture
    const char *extension = "png";
    const char *contentType = "image/png";
    double left = 0, top = 0, width = 0, height = 0; // points
};

struct Protection
{
    bool readOnly = false;
    QByteArray salt;
    QByteArray hash;
};

struct DocumentModel
{
    std::vector<Block> body;
    bool landscape = false;
    HeaderPicture picture;
    Protection protection;

    double TextWidth() const
    {
        const int page = landscape ? kA4Height : kA4Width;
        return (page - kMarginLeft - kMarginRight) / 20.0;
    }
};

// The .docx package of a model; empty when it cannot be packed.
QByteArray WriteDocx(const DocumentModel &model);

} // namespace qst::docx
