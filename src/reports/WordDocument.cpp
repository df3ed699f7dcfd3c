#include "reports/WordDocument.h"

#include "DocumentModel.h"
#include "DocumentProtection.h"
#include "common/StorageError.h"
#include "common/TextFile.h"


#include <algorithm>
#include <cmath>
#include <vector>

// The document as the reports drive it: the insertion point and selection, typing, tables,
// merges and the page breaks that split a table. The .docx writer reads the model it builds.

namespace qst {

using namespace docx;

namespace {

enum class SelectionKind {
    Body, // insertion point in a body paragraph
    CellSelected, // a whole cell: typing replaces its content
    InCell, // insertion point at the end of a cell's content
    CellBlock, // cells after extending
    WholeTable,
};

struct Selection
{
    SelectionKind kind = SelectionKind::Body;
    int block = 0; // Body: index of the paragraph block
    Table *table = nullptr;
    int row = 0; // anchor row and cell, 0-based
    int cell = 0;
    int lastRow = 0; // CellBlock: rows row..lastRow,
    int lastCell = 0; // cells cell..lastCell of the anchor row
};

// Control characters (C0 but tab, DEL, C1) and what XML cannot hold (U+FFFE, U+FFFF, lone
// surrogates) would print as boxes, break lines unseen or vanish: each becomes a space, counted.
bool Printable(char16_t u)
{
    return u == u'\t' || (u >= 0x20 && u < 0x7F) || (u > 0x9F && u != 0xFFFE && u != 0xFFFF);
}

QString Sanitized(const QString &text, int *replaced)
{
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
            out.append(c);
            out.append(text.at(++i));
        } else if (!Printable(c.unicode()) || c.isSurrogate()) {
            out.append(u' ');
            ++*replaced;
        } else {
            out.append(c);
        }
    }
    return out;
}

// Typed text split at paragraph ends ('\r', '\n', "\r\n").
QStringList ParagraphPieces(const QString &text)
{
    QStringList pieces;
    QString current;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\r' || c == u'\n') {
            pieces.append(current);
            current.clear();
            if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
        } else {
            current.append(c);
        }
    }
    pieces.append(current);
    return pieces;
}

void AppendText(Paragraph &p, const QString &clean, int fontSize)
{
    if (clean.isEmpty())
        return;
    if (!p.runs.empty() && p.runs.back().fontSize == fontSize)
        p.runs.back().text.append(clean);
    else
        p.runs.push_back(Run { clean, fontSize });
}

struct PictureFormat
{
    const char *extension;
    const char *contentType;
};

bool DetectPicture(const QByteArray &bytes, PictureFormat *format)
{
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        *format = { "png", "image/png" };
    else if (bytes.startsWith("\xff\xd8\xff"))
        *format = { "jpeg", "image/jpeg" };
    else if (bytes.startsWith("GIF87a") || bytes.startsWith("GIF89a"))
        *format = { "gif", "image/gif" };
    else if (bytes.size() > 26 && bytes.startsWith("BM"))
        *format = { "bmp", "image/bmp" };
    else
        return false;
    return true;
}

} // namespace

struct TWordDocument::Impl
{
    DocumentModel model;
    std::vector<Block> &body = model.body;
    // Tables in document order with the index of their block; rebuilt when the body changes shape.
    std::vector<std::pair<Table *, int>> tables;
    Selection sel;
    int fontSize = kDefaultFontSize;
    QString password;
    int replacedControls = 0;
    QStringList notes;

    Impl()
    {
        body.emplace_back();
        body.back().paragraph.markFontSize = kDefaultFontSize;
    }

    void ReindexTables()
    {
        tables.clear();
        for (int i = 0; i < int(body.size()); ++i)
            if (body[i].table)
                tables.emplace_back(body[i].table.get(), i);
    }

    Table *TableAt(int number) const
    {
        if (number < 1 || number > int(tables.size()))
            return nullptr;
        return tables[number - 1].first;
    }

    int BlockOf(const Table *t) const
    {
        for (const auto &[table, block] : tables)
            if (table == t)
                return block;
        return -1;
    }

    double TextWidth() const { return model.TextWidth(); }

    bool InTable() const { return sel.kind != SelectionKind::Body && sel.table != nullptr; }

    Paragraph &BodyParagraph() { return body[sel.block].paragraph; }

    Cell &AnchorCell() { return sel.table->rows[sel.row].cells[sel.cell]; }

    // Calls f for every cell the selection covers.
    template <typename F> void ForSelectedCells(F f)
    {
        if (!InTable())
            return;
        Table &t = *sel.table;
        if (sel.kind == SelectionKind::WholeTable) {
            for (Row &r : t.rows)
                for (Cell &c : r.cells)
                    f(c);
            return;
        }
        if (sel.kind != SelectionKind::CellBlock) {
            f(AnchorCell());
            return;
        }
        const auto [g0, g1] = BlockColumns();
        for (int r = sel.row; r <= sel.lastRow; ++r) {
            int g = 0;
            for (Cell &c : t.rows[r].cells) {
                if (g >= g0 && g + c.gridSpan <= g1)
                    f(c);
                g += c.gridSpan;
            }
        }
    }

    int GridStart(const Row &row, int cell) const
    {
        int g = 0;
        for (int i = 0; i < cell; ++i)
            g += row.cells[i].gridSpan;
        return g;
    }

    // Grid columns [first, end) of the anchor row's selected cells.
    std::pair<int, int> BlockColumns() const
    {
        const Row &row = sel.table->rows[sel.row];
        const int g0 = GridStart(row, sel.cell);
        int g1 = g0;
        const int last = sel.kind == SelectionKind::CellBlock ? sel.lastCell : sel.cell;
        for (int i = sel.cell; i <= last; ++i)
            g1 += row.cells[i].gridSpan;
        return { g0, g1 };
    }

    void SelectCellAt(Table *t, int row, int cell, SelectionKind kind)
    {
        sel = Selection {};
        sel.kind = kind;
        sel.table = t;
        sel.row = sel.lastRow = row;
        sel.cell = sel.lastCell = cell;
    }

    void SelectBody(int block)
    {
        sel = Selection {};
        sel.kind = SelectionKind::Body;
        sel.block = block;
    }

    // The paragraph typing goes into, or null when nothing is typed (a whole table selected).
    Paragraph *TypingParagraph()
    {
        switch (sel.kind) {
        case SelectionKind::Body:
            return &BodyParagraph();
        case SelectionKind::CellSelected:
        case SelectionKind::CellBlock: {
            Cell &c = AnchorCell();
            Paragraph first = c.paragraphs.empty() ? Paragraph {} : c.paragraphs.front().Follower(fontSize);
            c.paragraphs.clear();
            c.paragraphs.push_back(first);
            SelectCellAt(sel.table, sel.row, sel.cell, SelectionKind::InCell);
            return &c.paragraphs.back();
        }
        case SelectionKind::InCell:
            return &AnchorCell().paragraphs.back();
        case SelectionKind::WholeTable:
            break;
        }
        return nullptr;
    }

    // Ends the paragraph at the insertion point; returns the new one.
    Paragraph *NewParagraph(Paragraph *current)
    {
        const Paragraph next = current->Follower(fontSize);
        if (sel.kind == SelectionKind::Body) {
            body.insert(body.begin() + sel.block + 1, Block { next, nullptr });
            ++sel.block;
            ReindexTables();
            return &BodyParagraph();
        }
        Cell &c = AnchorCell();
        c.paragraphs.push_back(next);
        return &c.paragraphs.back();
    }

    template <typename F> void ForSelectedParagraphs(F f)
    {
        if (sel.kind == SelectionKind::Body) {
            f(BodyParagraph());
            return;
        }
        ForSelectedCells([&](Cell &c) {
            for (Paragraph &p : c.paragraphs)
                f(p);
        });
    }

};

TWordDocument::TWordDocument()
    : m_impl(std::make_unique<Impl>())
{
}

TWordDocument::~TWordDocument() = default;

void TWordDocument::SetLandscape(bool landscape)
{
    m_impl->model.landscape = landscape;
}

void TWordDocument::TypeText(const QString &text)
{
    Impl &d = *m_impl;
    Paragraph *p = d.TypingParagraph();
    if (!p)
        return;
    const QStringList pieces = ParagraphPieces(text);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            p = d.NewParagraph(p);
        AppendText(*p, Sanitized(pieces.at(i), &d.replacedControls), d.fontSize);
    }
}

int TWordDocument::ReplacedCharacters() const
{
    return m_impl->replacedControls;
}

void TWordDocument::TypeParagraph()
{
    Impl &d = *m_impl;
    if (Paragraph *p = d.TypingParagraph())
        d.NewParagraph(p);
}

void TWordDocument::SetAlignment(int alignment)
{
    const int a = alignment == kAlignCenter ? kAlignCenter : kAlignLeft;
    m_impl->ForSelectedParagraphs([a](Paragraph &p) { p.alignment = a; });
}

void TWordDocument::SetSpaceAfter(int points)
{
    const int s = std::max(points, 0);
    m_impl->ForSelectedParagraphs([s](Paragraph &p) { p.spaceAfter = s; });
}

void TWordDocument::SetKeepWithNext(bool keep)
{
    m_impl->ForSelectedParagraphs([keep](Paragraph &p) { p.keepNext = keep; });
}

void TWordDocument::SetFontSize(int points)
{
    Impl &d = *m_impl;
    if (points < 1 || points > 1638)
        return;
    d.fontSize = points;
    switch (d.sel.kind) {
    case SelectionKind::Body:
        if (d.BodyParagraph().runs.empty())
            d.BodyParagraph().markFontSize = points;
        break;
    case SelectionKind::InCell:
        if (!d.AnchorCell().HasText())
            for (Paragraph &p : d.AnchorCell().paragraphs)
                p.markFontSize = points;
        break;
    default:
        // Selected cells take the size for what they hold.
        d.ForSelectedParagraphs([points](Paragraph &p) {
            p.markFontSize = points;
            for (Run &r : p.runs)
                r.fontSize = points;
        });
        break;
    }
}

int TWordDocument::AddTable(int rows, int columns)
{
    Impl &d = *m_impl;
    if (d.sel.kind != SelectionKind::Body)
        LeaveTable();
    rows = std::max(rows, 1);
    columns = std::max(columns, 1);

    const Paragraph &at = d.BodyParagraph();
    Paragraph cellParagraph = at.Follower(d.fontSize);
    cellParagraph.keepNext = false;
    auto table = std::make_unique<Table>();
    table->gridWidths.assign(size_t(columns), d.TextWidth() / columns);
    table->rows.resize(size_t(rows));
    for (Row &r : table->rows) {
        r.cells.resize(size_t(columns));
        for (Cell &c : r.cells)
            c.paragraphs.push_back(cellParagraph);
    }
    Table *t = table.get();

    const Paragraph after = at.Follower(d.fontSize);
    int block = d.sel.block;
    if (at.IsEmpty()) {
        d.body[block].table = std::move(table);
        d.body[block].paragraph = Paragraph {};
    } else {
        ++block;
        d.body.insert(d.body.begin() + block, Block { Paragraph {}, std::move(table) });
    }
    d.body.insert(d.body.begin() + block + 1, Block { after, nullptr });
    d.ReindexTables();
    d.SelectCellAt(t, 0, 0, SelectionKind::InCell);

    for (int i = 0; i < int(d.tables.size()); ++i)
        if (d.tables[i].first == t)
            return i + 1;
    return 0;
}

int TWordDocument::TableCount() const
{
    return int(m_impl->tables.size());
}

int TWordDocument::TotalRowCount() const
{
    int rows = 0;
    for (const auto &[table, block] : m_impl->tables)
        rows += int(table->rows.size());
    return rows;
}

int TWordDocument::RowCount(int table) const
{
    const Table *t = m_impl->TableAt(table);
    return t ? int(t->rows.size()) : 0;
}

int TWordDocument::CellCount(int table, int row) const
{
    const Table *t = m_impl->TableAt(table);
    if (!t || row < 1 || row > int(t->rows.size()))
        return 0;
    return int(t->rows[row - 1].cells.size());
}

void TWordDocument::SelectCell(int table, int row, int cell)
{
    Impl &d = *m_impl;
    Table *t = d.TableAt(table);
    if (!t || row < 1 || row > int(t->rows.size()) || cell < 1 || cell > int(t->rows[row - 1].cells.size()))
        return;
    d.SelectCellAt(t, row - 1, cell - 1, SelectionKind::CellSelected);
}

void TWordDocument::SelectTable(int table)
{
    Impl &d = *m_impl;
    Table *t = d.TableAt(table);
    if (!t)
        return;
    d.SelectCellAt(t, 0, 0, SelectionKind::WholeTable);
    d.sel.lastRow = int(t->rows.size()) - 1;
}

double TWordDocument::ColumnWidth(int table, int column) const
{
    const Table *t = m_impl->TableAt(table);
    if (!t || column < 1 || column > int(t->gridWidths.size()))
        return 0;
    return t->gridWidths[column - 1];
}

void TWordDocument::SetColumnWidth(int table, int column, double points)
{
    Table *t = m_impl->TableAt(table);
    if (!t || column < 1 || column > int(t->gridWidths.size()) || !(points > 0))
        return;
    t->gridWidths[column - 1] = points;
}

void TWordDocument::SetColumnWidthProportional(int table, int column, double points)
{
    Table *t = m_impl->TableAt(table);
    if (!t || column < 1 || column > int(t->gridWidths.size()) || !(points > 0))
        return;
    double total = 0;
    for (double w : t->gridWidths)
        total += w;
    const double others = total - t->gridWidths[column - 1];
    const double left = total - points;
    t->gridWidths[column - 1] = points;
    if (others <= 0 || left <= 0)
        return; // nothing to share: only this column changes
    for (int i = 0; i < int(t->gridWidths.size()); ++i)
        if (i != column - 1)
            t->gridWidths[i] *= left / others;
}

void TWordDocument::SetRowHeightExactly(double points)
{
    Impl &d = *m_impl;
    if (!d.InTable() || !(points > 0))
        return;
    for (int r = d.sel.row; r <= d.sel.lastRow && r < int(d.sel.table->rows.size()); ++r) {
        d.sel.table->rows[r].heightRule = HeightRule::Exactly;
        d.sel.table->rows[r].height = points;
    }
}

void TWordDocument::SetRowHeightAtLeast(double points)
{
    Impl &d = *m_impl;
    if (!d.InTable() || !(points > 0))
        return;
    for (int r = d.sel.row; r <= d.sel.lastRow && r < int(d.sel.table->rows.size()); ++r) {
        d.sel.table->rows[r].heightRule = HeightRule::AtLeast;
        d.sel.table->rows[r].height = points;
    }
}

void TWordDocument::SetHeadingRows()
{
    Impl &d = *m_impl;
    if (!d.InTable())
        return;
    for (int r = d.sel.row; r <= d.sel.lastRow && r < int(d.sel.table->rows.size()); ++r) {
        Row &row = d.sel.table->rows[r];
        row.heading = true;
        for (Cell &c : row.cells)
            for (Paragraph &p : c.paragraphs)
                p.keepNext = true;
    }
}

void TWordDocument::SetCellFontSize(int table, int row, int cell, int points)
{
    Table *t = m_impl->TableAt(table);
    if (!t || row < 1 || row > int(t->rows.size()) || cell < 1 || cell > int(t->rows[row - 1].cells.size())
        || points < 1 || points > 1638)
        return;
    for (Paragraph &p : t->rows[row - 1].cells[cell - 1].paragraphs) {
        p.markFontSize = points;
        for (Run &r : p.runs)
            r.fontSize = points;
    }
}

void TWordDocument::SetCellMargins(int table, double points)
{
    if (Table *t = m_impl->TableAt(table); t && points >= 0)
        t->cellMargin = points;
}

void TWordDocument::AppendRow()
{
    Impl &d = *m_impl;
    if (!d.InTable())
        return;
    Table &t = *d.sel.table;
    const int at = d.sel.lastRow;
    const Row &from = t.rows[at];
    Row row;
    row.heightRule = from.heightRule;
    row.height = from.height;
    row.cells.reserve(from.cells.size());
    for (const Cell &c : from.cells) {
        Cell copy;
        copy.gridSpan = c.gridSpan;
        copy.paragraphs.push_back(
            c.paragraphs.empty() ? Paragraph {} : c.paragraphs.front().Follower(c.paragraphs.front().markFontSize));
        // A heading row keeps with the row after it; the rows after it do not.
        if (from.heading)
            copy.paragraphs.back().keepNext = false;
        row.cells.push_back(std::move(copy));
    }
    t.rows.insert(t.rows.begin() + at + 1, std::move(row));
    d.SelectCellAt(&t, at + 1, 0, SelectionKind::InCell);
}

void TWordDocument::ExtendSelectionDown(int rows)
{
    Impl &d = *m_impl;
    if (!d.InTable() || d.sel.kind == SelectionKind::WholeTable || rows < 1)
        return;
    const int lastCell = d.sel.kind == SelectionKind::CellBlock ? d.sel.lastCell : d.sel.cell;
    d.sel.kind = SelectionKind::CellBlock;
    d.sel.lastCell = lastCell;
    d.sel.lastRow = std::min(d.sel.lastRow + rows, int(d.sel.table->rows.size()) - 1);
}

void TWordDocument::ExtendSelectionRight(int cells)
{
    Impl &d = *m_impl;
    if (!d.InTable() || d.sel.kind == SelectionKind::WholeTable || cells < 1)
        return;
    const int lastCell = d.sel.kind == SelectionKind::CellBlock ? d.sel.lastCell : d.sel.cell;
    d.sel.kind = SelectionKind::CellBlock;
    d.sel.lastCell = std::min(lastCell + cells, int(d.sel.table->rows[d.sel.row].cells.size()) - 1);
}

void TWordDocument::MergeCells()
{
    Impl &d = *m_impl;
    if (d.sel.kind != SelectionKind::CellBlock)
        return;
    Table &t = *d.sel.table;
    const auto [g0, g1] = d.BlockColumns();

    // Each row's cells inside the block become one; the contents follow one another, empty cells add nothing.
    std::vector<int> merged; // per row: index of the merged cell, or -1
    for (int r = d.sel.row; r <= d.sel.lastRow; ++r) {
        Row &row = t.rows[r];
        int first = -1, last = -1, g = 0;
        for (int i = 0; i < int(row.cells.size()); ++i) {
            if (g >= g0 && g + row.cells[i].gridSpan <= g1) {
                if (first < 0)
                    first = i;
                last = i;
            }
            g += row.cells[i].gridSpan;
        }
        if (first < 0) {
            merged.push_back(-1);
            continue;
        }
        Cell &target = row.cells[first];
        for (int i = first + 1; i <= last; ++i) {
            Cell &c = row.cells[i];
            target.gridSpan += c.gridSpan;
            if (!c.HasText())
                continue;
            if (!target.HasText())
                target.paragraphs.clear();
            for (Paragraph &p : c.paragraphs)
                target.paragraphs.push_back(std::move(p));
        }
        row.cells.erase(row.cells.begin() + first + 1, row.cells.begin() + last + 1);
        merged.push_back(first);
    }

    const int top = merged.front();
    if (top < 0)
        return;
    if (d.sel.lastRow > d.sel.row) {
        Cell &head = t.rows[d.sel.row].cells[top];
        head.vMerge = VMerge::Restart;
        for (int r = d.sel.row + 1; r <= d.sel.lastRow; ++r) {
            const int i = merged[r - d.sel.row];
            if (i < 0)
                continue;
            Cell &c = t.rows[r].cells[i];
            if (c.HasText()) {
                if (!head.HasText())
                    head.paragraphs.clear();
                for (Paragraph &p : c.paragraphs)
                    head.paragraphs.push_back(std::move(p));
                c.paragraphs.clear();
                c.paragraphs.push_back(head.paragraphs.front().Follower(head.paragraphs.front().markFontSize));
            }
            c.vMerge = VMerge::Continue;
        }
    }
    d.SelectCellAt(&t, d.sel.row, top, SelectionKind::CellSelected);
}

void TWordDocument::InsertBreak()
{
    Impl &d = *m_impl;
    if (!d.InTable())
        return;
    Table *t = d.sel.table;
    const int splitRow = d.sel.row;
    const int cell = d.sel.cell;
    const int block = d.BlockOf(t);
    if (block < 0)
        return;

    const Cell &at = t->rows[splitRow].cells[cell];
    Paragraph breakParagraph = at.paragraphs.empty() ? Paragraph {} : at.paragraphs.front().Follower(d.fontSize);
    breakParagraph.pageBreak = true;
    // It holds nothing but the break: as small as can be, and on the page of the table after it.
    breakParagraph.markFontSize = 1;
    breakParagraph.keepNext = true;

    if (splitRow == 0) {
        // Nothing above to split off: the page break goes before the table.
        d.body.insert(d.body.begin() + block, Block { breakParagraph, nullptr });
        d.ReindexTables();
        d.SelectCellAt(t, 0, cell, SelectionKind::InCell);
        return;
    }

    auto rest = std::make_unique<Table>();
    rest->gridWidths = t->gridWidths;
    rest->framed = t->framed;
    rest->cellMargin = t->cellMargin;
    rest->rows.assign(std::make_move_iterator(t->rows.begin() + splitRow), std::make_move_iterator(t->rows.end()));
    t->rows.erase(t->rows.begin() + splitRow, t->rows.end());
    for (Cell &c : rest->rows.front().cells)
        if (c.vMerge == VMerge::Continue)
            c.vMerge = VMerge::None;
    for (Cell &c : t->rows.back().cells)
        if (c.vMerge == VMerge::Restart)
            c.vMerge = VMerge::None;

    Table *part = rest.get();
    d.body.insert(d.body.begin() + block + 1, Block { breakParagraph, nullptr });
    d.body.insert(d.body.begin() + block + 2, Block { Paragraph {}, std::move(rest) });
    d.ReindexTables();
    d.SelectCellAt(part, 0, std::min(cell, int(part->rows.front().cells.size()) - 1), SelectionKind::InCell);
}

void TWordDocument::FrameTable(int table)
{
    if (Table *t = m_impl->TableAt(table))
        t->framed = true;
}

void TWordDocument::LeaveTable()
{
    Impl &d = *m_impl;
    if (!d.InTable())
        return;
    const int block = d.BlockOf(d.sel.table);
    if (block < 0)
        return;
    if (block + 1 >= int(d.body.size()) || d.body[block + 1].table) {
        Paragraph p;
        p.markFontSize = d.fontSize;
        d.body.insert(d.body.begin() + block + 1, Block { p, nullptr });
        d.ReindexTables();
    }
    d.SelectBody(block + 1);
}

bool TWordDocument::AddHeaderPicture(const QByteArray &imageBytes, double left, double top, double width, double height)
{
    Impl &d = *m_impl;
    PictureFormat format {};
    if (!DetectPicture(imageBytes, &format) || !(width > 0) || !(height > 0))
        return false;
    d.model.picture = HeaderPicture { imageBytes, format.extension, format.contentType, left, top, width, height };
    return true;
}

void TWordDocument::Protect(const QString &password)
{
    Protection &p = m_impl->model.protection;
    p.readOnly = true;
    m_impl->password = password;
    if (p.salt.size() != kProtectionSaltLength)
        p.salt = ProtectionSalt();
    p.hash = ProtectionHash(password, p.salt);
}

void TWordDocument::SetProtectionSalt(const QByteArray &salt)
{
    Protection &p = m_impl->model.protection;
    p.salt = salt;
    if (p.readOnly)
        p.hash = ProtectionHash(m_impl->password, salt);
}

void TWordDocument::AddNote(const QString &note)
{
    m_impl->notes.append(note);
}

QStringList TWordDocument::Notes() const
{
    return m_impl->notes;
}

QByteArray TWordDocument::ToDocx() const
{
    return WriteDocx(m_impl->model);
}

bool TWordDocument::SaveAs(const QString &fileName, QString *error) const
{
    const QByteArray bytes = ToDocx();
    QString reason;
    if (bytes.isEmpty()) {
        reason = QStringLiteral("the document could not be packed");
    } else {
        try {
            SaveFileBytes(fileName, bytes);
            return true;
        } catch (const StorageError &e) {
            reason = e.message();
        }
    }
    if (error)
        *error = reason;
    return false;
}

} // namespace qst
