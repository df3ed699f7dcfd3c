#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace qst {

enum WordAlignment {
    kAlignLeft = 0,   // wdAlignParagraphLeft
    kAlignCenter = 1, // wdAlignParagraphCenter
};

// A word-processing document built the way the reports drive a word processor: text typed
// at an insertion point, tables added there, cells selected, extended, merged and split by
// page breaks. Saved as an Office Open XML document (.docx).
//
// The selection is one of: an insertion point in a body paragraph, an insertion point in a
// cell (after Cell().Select and typing), a block of cells (after extending), or a whole
// table. Paragraph settings apply to what is selected; the font size applies to text typed
// from then on and to the cells of tables added from then on.
//
// Tables and cells are numbered from 1 as the word processor numbers them; after a
// horizontal merge the cells of that row are renumbered (a merged block is one cell).
class TWordDocument
{
public:
    TWordDocument();
    ~TWordDocument();
    TWordDocument(const TWordDocument &) = delete;
    TWordDocument &operator=(const TWordDocument &) = delete;

    // A4, portrait by default; landscape swaps width and height.
    void SetLandscape(bool landscape);

    // Inserts text at the insertion point; a selected cell's content is replaced. '\r'
    // starts a new paragraph (also inside a cell). Control characters (a vertical tab, DEL, ...)
    // and what the format cannot hold become spaces, counted by ReplacedCharacters().
    void TypeText(const QString &text);
    int ReplacedCharacters() const;
    // Ends the paragraph; the new one inherits alignment, spacing and font size.
    void TypeParagraph();
    void SetAlignment(int alignment);
    void SetSpaceAfter(int points);
    void SetFontSize(int points);
    // Keep with next: the selected paragraphs (or the cells' paragraphs) stay on the page of
    // what follows them. Paragraphs begun from one that keeps inherit it.
    void SetKeepWithNext(bool keep);

    // A table of rows x columns of equal widths across the text width, at the insertion
    // point: it follows a paragraph holding text, or takes the place of an empty one; an
    // empty paragraph follows it. Its cells take the current paragraph settings and font
    // size. Returns its number; the insertion point goes into its first cell.
    int AddTable(int rows, int columns);
    int TableCount() const;
    // Rows of every table together.
    int TotalRowCount() const;
    int RowCount(int table) const;
    // Cells of a row as numbered now (a horizontally merged block counts once).
    int CellCount(int table, int row) const;

    // Cell(row, cell).Select: the cell is selected; typing replaces its content.
    void SelectCell(int table, int row, int cell);
    // The whole table is selected.
    void SelectTable(int table);

    double ColumnWidth(int table, int column) const;
    // Columns.Item(n).Width: only that column changes.
    void SetColumnWidth(int table, int column, double points);
    // Columns.Item(n).SetWidth(points, wdAdjustProportional): the other columns share
    // what is left of the table's width in proportion to their widths.
    void SetColumnWidthProportional(int table, int column, double points);
    // HeightRule = exactly, Height = points, for every row the selection touches.
    void SetRowHeightExactly(double points);
    // HeightRule = at least: a row taller than `points` grows and its text stays visible.
    void SetRowHeightAtLeast(double points);
    // The rows the selection touches are heading rows: repeated at the top of every page the
    // table runs onto, and kept on the page of the row after them.
    void SetHeadingRows();
    // The font size of what one cell holds; typing goes on at the current size.
    void SetCellFontSize(int table, int row, int cell, int points);
    // Left and right cell margins of a table, in points (5.4 unless set).
    void SetCellMargins(int table, double points);

    // MoveRight(1), Collapse, InsertRows(1): a new empty row after the row of the selected
    // cell, with that row's cell layout and paragraph settings; its first cell is selected.
    void AppendRow();
    // MoveDown(wdLine, n, wdExtend) / MoveRight(wdCharacter, n, wdExtend) from a selected cell.
    void ExtendSelectionDown(int rows);
    void ExtendSelectionRight(int cells);
    // Cells.Merge: the selected block becomes one cell (a horizontal block one cell of
    // the row, a vertical block one cell spanning the rows); the merged cell is selected.
    void MergeCells();
    // InsertBreak with a cell selected: the table is split before that cell's row, a page
    // break comes between the parts, and the part from that row on becomes a table of its
    // own (same columns, widths, margins and borders) whose number is TableCount(). The break
    // starts no page of its own when the part before it has just filled one.
    void InsertBreak();

    // The default single-line borders, outside and inside, on a table.
    void FrameTable(int table);
    // MoveDown from a selected table or cell: the insertion point goes to the paragraph
    // after the table.
    void LeaveTable();

    // A picture in the page header, behind the text, at left/top from the margin and the
    // header paragraph, width x height, in points; stored inside the document. False when
    // the bytes are not a picture (nothing is added).
    bool AddHeaderPicture(const QByteArray &imageBytes, double left, double top, double width, double height);

    // Read-only enforcement with the password hashed as the format prescribes.
    void Protect(const QString &password);
    // The salt used by Protect (16 random bytes unless set, for tests).
    void SetProtectionSalt(const QByteArray &salt);

    // What the operator should be told about the document (a layout that could not be kept,
    // characters replaced), in the order noted.
    void AddNote(const QString &note);
    QStringList Notes() const;

    // The .docx bytes.
    QByteArray ToDocx() const;
    // Saves atomically: on failure no file is left at fileName (an existing one is kept as it
    // was), false is returned and *error holds the system's reason.
    bool SaveAs(const QString &fileName, QString *error) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qst
