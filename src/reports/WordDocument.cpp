#include "reports/WordDocument.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QXmlStreamWriter>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace qst {

namespace {

// A4 in twips; margins as the reports were laid out (3 cm binding edge, 1.5 cm right).
constexpr int kA4Width = 11906;
constexpr int kA4Height = 16838;

int CmToTwips(double cm)
{
    return int(std::lround(cm * 1440.0 / 2.54));
}

const int kMarginLeft = CmToTwips(3.0);
const int kMarginRight = CmToTwips(1.5);
const int kMarginTop = CmToTwips(2.0);
const int kMarginBottom = CmToTwips(2.0);
const int kHeaderDistance = CmToTwips(1.25);

constexpr int kDefaultFontSize = 12;
constexpr int kSpinCount = 100000;
constexpr int kSaltLength = 16;
constexpr qint64 kEmuPerPoint = 12700;

const QString kNsW = QStringLiteral("http://schemas.openxmlformats.org/wordprocessingml/2006/main");
const QString kNsR = QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/relationships");
const QString kNsWp = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing");
const QString kNsA = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/main");
const QString kNsPic = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/picture");
const QString kNsRel = QStringLiteral("http://schemas.openxmlformats.org/package/2006/relationships");
const QString kRelBase = QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/relationships/");

struct Run
{
    // Sanitised text: '\v' stands for a line break, '\t' for a tab.
    QString text;
    int fontSize = kDefaultFontSize;
};

struct Paragraph
{
    std::vector<Run> runs;
    int alignment = kAlignLeft;
    int spaceAfter = -1; // points; -1: the style's
    int markFontSize = kDefaultFontSize;
    bool pageBreak = false;

    bool IsEmpty() const { return runs.empty() && !pageBreak; }
    // A new paragraph after this one: same settings, no content.
    Paragraph Follower(int fontSize) const
    {
        Paragraph p;
        p.alignment = alignment;
        p.spaceAfter = spaceAfter;
        p.markFontSize = fontSize;
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

struct Row
{
    std::vector<Cell> cells;
    double exactHeight = 0; // points; 0: automatic
};

struct Table
{
    std::vector<Row> rows;
    std::vector<double> gridWidths; // points
    bool framed = false;
};

// A body block: a table when `table` is set, a paragraph otherwise.
struct Block
{
    Paragraph paragraph;
    std::unique_ptr<Table> table;
};

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

QString Sanitized(const QString &text)
{
    // XML 1.0 allows tab, LF, CR and everything from U+0020 except lone surrogates, U+FFFE and U+FFFF.
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (u == u'\t' || u == u'\v') {
            out.append(c);
        } else if (u < 0x20 || u == 0xFFFE || u == 0xFFFF) {
            continue;
        } else if (c.isHighSurrogate()) {
            if (i + 1 < n && text.at(i + 1).isLowSurrogate()) {
                out.append(c);
                out.append(text.at(++i));
            }
        } else if (c.isLowSurrogate()) {
            continue;
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

QString Twips(double points)
{
    return QString::number(std::lround(points * 20.0));
}

QString Emu(double points)
{
    return QString::number(qint64(std::llround(points * double(kEmuPerPoint))));
}

class ParagraphStyles;

} // namespace

struct TWordDocument::Impl
{
    std::vector<Block> body;
    // Tables in document order with the index of their block; rebuilt when the body changes shape.
    std::vector<std::pair<Table *, int>> tables;
    Selection sel;
    int fontSize = kDefaultFontSize;
    bool landscape = false;

    QByteArray picture;
    PictureFormat pictureFormat { "png", "image/png" };
    double picLeft = 0, picTop = 0, picWidth = 0, picHeight = 0;

    bool protectedReadOnly = false;
    QString password;
    QByteArray salt;
    QByteArray passwordHash;

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

    double TextWidth() const
    {
        const int page = landscape ? kA4Height : kA4Width;
        return (page - kMarginLeft - kMarginRight) / 20.0;
    }

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

    void ComputeHash()
    {
        // ISO/IEC 29500-1 17.15.1.29: H0 = SHA-512(salt + password as UTF-16LE),
        // Hn = SHA-512(Hn-1 + n as 32-bit little endian), n from 0.
        QByteArray input = salt;
        const QString &pw = password;
        for (QChar c : pw) {
            const char16_t u = c.unicode();
            input.append(char(u & 0xFF));
            input.append(char(u >> 8));
        }
        QByteArray h = QCryptographicHash::hash(input, QCryptographicHash::Sha512);
        QCryptographicHash hasher(QCryptographicHash::Sha512);
        char counter[4];
        for (quint32 i = 0; i < quint32(kSpinCount); ++i) {
            counter[0] = char(i & 0xFF);
            counter[1] = char((i >> 8) & 0xFF);
            counter[2] = char((i >> 16) & 0xFF);
            counter[3] = char((i >> 24) & 0xFF);
            hasher.reset();
            hasher.addData(h);
            hasher.addData(QByteArrayView(counter, 4));
            h = hasher.result();
        }
        passwordHash = h;
    }

    QByteArray DocumentXml(ParagraphStyles &styles) const;
    QByteArray StylesXml(const ParagraphStyles &styles) const;
    QByteArray SettingsXml() const;
    QByteArray HeaderXml() const;
    QByteArray ContentTypesXml() const;
    QByteArray DocumentRelsXml() const;
    QByteArray CorePropsXml() const;
    QByteArray AppPropsXml() const;
};

namespace {

void StartPart(QXmlStreamWriter &w)
{
    w.setAutoFormatting(false);
    w.writeStartDocument(QStringLiteral("1.0"), true);
}

void WriteRunProperties(QXmlStreamWriter &w, int fontSize)
{
    // Only w:sz: the complex-script size (w:szCs) would double the bytes of every run for scripts
    // these documents never hold.
    w.writeStartElement(QStringLiteral("w:rPr"));
    w.writeEmptyElement(QStringLiteral("w:sz"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(fontSize * 2));
    w.writeEndElement();
}

class ParagraphStyles
{
public:
    struct Key
    {
        int alignment;
        int spaceAfter;
        int fontSize;
        bool operator==(const Key &) const = default;
    };

    int IndexFor(const Paragraph &p)
    {
        const Key key { p.alignment, p.spaceAfter, p.markFontSize };
        if (m_last >= 0 && m_keys[m_last] == key)
            return m_last;
        for (int i = 0; i < int(m_keys.size()); ++i) {
            if (m_keys[i] == key) {
                m_last = i;
                return i;
            }
        }
        m_keys.push_back(key);
        m_ids.push_back(QStringLiteral("QstP%1").arg(m_keys.size()));
        m_last = int(m_keys.size()) - 1;
        return m_last;
    }
    const QString &Id(int index) const { return m_ids[index]; }
    const std::vector<Key> &Keys() const { return m_keys; }

private:
    std::vector<Key> m_keys;
    std::vector<QString> m_ids;
    int m_last = -1;
};

// The body is written straight into UTF-8 bytes: a stream writer's per-token conversions and
// small writes cost several times more than the XML itself for a table of 150,000 cells. Every
// name and attribute value below is fixed or a number; only text goes through escaping.
class BodyXml
{
public:
    explicit BodyXml(QByteArray &out)
        : m_out(out)
    {
    }

    BodyXml &operator<<(const char *literal)
    {
        m_out.append(literal);
        return *this;
    }
    BodyXml &operator<<(qint64 number)
    {
        m_out.append(QByteArray::number(number));
        return *this;
    }
    BodyXml &operator<<(const QString &name) // style ids and other fixed names
    {
        m_out.append(name.toUtf8());
        return *this;
    }

    void Text(QStringView text)
    {
        const QByteArray utf8 = text.toUtf8();
        const char *p = utf8.constData();
        const char *end = p + utf8.size();
        const char *run = p;
        for (; p != end; ++p) {
            const char *entity = nullptr;
            switch (*p) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            default:
                continue;
            }
            m_out.append(run, p - run);
            m_out.append(entity);
            run = p + 1;
        }
        m_out.append(run, end - run);
    }

private:
    QByteArray &m_out;
};

void WriteRunText(BodyXml &x, const QString &text)
{
    qsizetype start = 0;
    const qsizetype n = text.size();
    auto flush = [&](qsizetype end) {
        if (end <= start)
            return;
        const QStringView piece = QStringView(text).mid(start, end - start);
        const bool keepSpaces = piece.front().isSpace() || piece.back().isSpace() || piece.contains(u"  ");
        x << (keepSpaces ? "<w:t xml:space=\"preserve\">" : "<w:t>");
        x.Text(piece);
        x << "</w:t>";
    };
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\v' || c == u'\t') {
            flush(i);
            x << (c == u'\v' ? "<w:br/>" : "<w:tab/>");
            start = i + 1;
        }
    }
    flush(n);
}

void WriteParagraph(BodyXml &x, const Paragraph &p, ParagraphStyles &styles)
{
    x << "<w:p><w:pPr><w:pStyle w:val=\"" << styles.Id(styles.IndexFor(p)) << "\"/></w:pPr>";
    if (p.pageBreak)
        x << "<w:r><w:br w:type=\"page\"/></w:r>";
    for (const Run &r : p.runs) {
        x << "<w:r>";
        if (r.fontSize != p.markFontSize)
            x << "<w:rPr><w:sz w:val=\"" << qint64(r.fontSize) * 2 << "\"/></w:rPr>";
        WriteRunText(x, r.text);
        x << "</w:r>";
    }
    x << "</w:p>";
}

void WriteTable(BodyXml &x, const Table &t, ParagraphStyles &styles)
{
    std::vector<qint64> grid;
    grid.reserve(t.gridWidths.size());
    qint64 total = 0;
    for (double width : t.gridWidths) {
        grid.push_back(std::llround(width * 20.0));
        total += grid.back();
    }

    x << "<w:tbl><w:tblPr><w:tblW w:w=\"" << total << "\" w:type=\"dxa\"/><w:tblBorders>";
    static const char *const kSides[] = { "top", "left", "bottom", "right", "insideH", "insideV" };
    for (const char *side : kSides)
        x << "<w:" << side
          << (t.framed ? " w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"auto\"/>"
                       : " w:val=\"none\" w:sz=\"0\" w:space=\"0\" w:color=\"auto\"/>");
    x << "</w:tblBorders><w:tblLayout w:type=\"fixed\"/></w:tblPr><w:tblGrid>";
    for (qint64 g : grid)
        x << "<w:gridCol w:w=\"" << g << "\"/>";
    x << "</w:tblGrid>";

    for (const Row &row : t.rows) {
        x << "<w:tr>";
        if (row.exactHeight > 0)
            x << "<w:trPr><w:trHeight w:val=\"" << qint64(std::llround(row.exactHeight * 20.0))
              << "\" w:hRule=\"exact\"/></w:trPr>";
        size_t g = 0;
        for (const Cell &c : row.cells) {
            qint64 width = 0;
            for (int k = 0; k < c.gridSpan && g + k < grid.size(); ++k)
                width += grid[g + k];
            g += size_t(c.gridSpan);
            x << "<w:tc><w:tcPr><w:tcW w:w=\"" << width << "\" w:type=\"dxa\"/>";
            if (c.gridSpan > 1)
                x << "<w:gridSpan w:val=\"" << qint64(c.gridSpan) << "\"/>";
            if (c.vMerge == VMerge::Restart)
                x << "<w:vMerge w:val=\"restart\"/>";
            else if (c.vMerge == VMerge::Continue)
                x << "<w:vMerge w:val=\"continue\"/>";
            x << "</w:tcPr>";
            if (c.paragraphs.empty())
                WriteParagraph(x, Paragraph {}, styles);
            for (const Paragraph &p : c.paragraphs)
                WriteParagraph(x, p, styles);
            x << "</w:tc>";
        }
        x << "</w:tr>";
    }
    x << "</w:tbl>";
}

void WriteRelationship(QXmlStreamWriter &w, const QString &id, const QString &type, const QString &target)
{
    w.writeEmptyElement(QStringLiteral("Relationship"));
    w.writeAttribute(QStringLiteral("Id"), id);
    w.writeAttribute(QStringLiteral("Type"), type);
    w.writeAttribute(QStringLiteral("Target"), target);
}

} // namespace

QByteArray TWordDocument::Impl::DocumentXml(ParagraphStyles &styles) const
{
    qsizetype cells = 0;
    for (const Block &b : body)
        if (b.table)
            for (const Row &r : b.table->rows)
                cells += qsizetype(r.cells.size());
    QByteArray out;
    out.reserve(4096 + qsizetype(body.size()) * 256 + cells * 160);
    BodyXml x(out);
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      << "<w:document xmlns:w=\"" << kNsW << "\" xmlns:r=\"" << kNsR << "\"><w:body>";
    for (const Block &b : body) {
        if (b.table)
            WriteTable(x, *b.table, styles);
        else
            WriteParagraph(x, b.paragraph, styles);
    }
    x << "<w:sectPr>";
    if (!picture.isEmpty())
        x << "<w:headerReference w:type=\"default\" r:id=\"rIdHeader1\"/>";
    x << "<w:pgSz w:w=\"" << qint64(landscape ? kA4Height : kA4Width) << "\" w:h=\""
      << qint64(landscape ? kA4Width : kA4Height) << "\"" << (landscape ? " w:orient=\"landscape\"/>" : "/>");
    x << "<w:pgMar w:top=\"" << qint64(kMarginTop) << "\" w:right=\"" << qint64(kMarginRight) << "\" w:bottom=\""
      << qint64(kMarginBottom) << "\" w:left=\"" << qint64(kMarginLeft) << "\" w:header=\"" << qint64(kHeaderDistance)
      << "\" w:footer=\"" << qint64(kHeaderDistance) << "\" w:gutter=\"0\"/>";
    x << "</w:sectPr></w:body></w:document>";
    return out;
}

QByteArray TWordDocument::Impl::StylesXml(const ParagraphStyles &styles) const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:styles"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    w.writeStartElement(QStringLiteral("w:docDefaults"));
    w.writeStartElement(QStringLiteral("w:rPrDefault"));
    w.writeStartElement(QStringLiteral("w:rPr"));
    // Liberation Serif stands in for it where Times New Roman is missing; the metrics are the same.
    w.writeEmptyElement(QStringLiteral("w:rFonts"));
    for (const char *attr : { "w:ascii", "w:hAnsi", "w:eastAsia", "w:cs" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("Times New Roman"));
    w.writeEmptyElement(QStringLiteral("w:sz"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(kDefaultFontSize * 2));
    w.writeEmptyElement(QStringLiteral("w:szCs"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(kDefaultFontSize * 2));
    w.writeEmptyElement(QStringLiteral("w:lang"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("ru-RU"));
    w.writeAttribute(QStringLiteral("w:eastAsia"), QStringLiteral("ru-RU"));
    w.writeAttribute(QStringLiteral("w:bidi"), QStringLiteral("ar-SA"));
    w.writeEndElement(); // rPr
    w.writeEndElement(); // rPrDefault
    w.writeStartElement(QStringLiteral("w:pPrDefault"));
    w.writeStartElement(QStringLiteral("w:pPr"));
    w.writeEmptyElement(QStringLiteral("w:spacing"));
    w.writeAttribute(QStringLiteral("w:after"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("w:line"), QStringLiteral("240"));
    w.writeAttribute(QStringLiteral("w:lineRule"), QStringLiteral("auto"));
    w.writeEndElement(); // pPr
    w.writeEndElement(); // pPrDefault
    w.writeEndElement(); // docDefaults

    w.writeStartElement(QStringLiteral("w:style"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("paragraph"));
    w.writeAttribute(QStringLiteral("w:default"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("w:styleId"), QStringLiteral("Normal"));
    w.writeEmptyElement(QStringLiteral("w:name"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal"));
    w.writeEmptyElement(QStringLiteral("w:qFormat"));
    w.writeEndElement();

    for (int i = 0; i < int(styles.Keys().size()); ++i) {
        const ParagraphStyles::Key &k = styles.Keys()[i];
        w.writeStartElement(QStringLiteral("w:style"));
        w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("paragraph"));
        w.writeAttribute(QStringLiteral("w:customStyle"), QStringLiteral("1"));
        w.writeAttribute(QStringLiteral("w:styleId"), styles.Id(i));
        w.writeEmptyElement(QStringLiteral("w:name"));
        w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("QST %1").arg(i + 1));
        w.writeEmptyElement(QStringLiteral("w:basedOn"));
        w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal"));
        w.writeStartElement(QStringLiteral("w:pPr"));
        if (k.spaceAfter >= 0) {
            w.writeEmptyElement(QStringLiteral("w:spacing"));
            w.writeAttribute(QStringLiteral("w:after"), Twips(k.spaceAfter));
        }
        w.writeEmptyElement(QStringLiteral("w:jc"));
        w.writeAttribute(
            QStringLiteral("w:val"), k.alignment == kAlignCenter ? QStringLiteral("center") : QStringLiteral("left"));
        w.writeEndElement(); // pPr
        WriteRunProperties(w, k.fontSize);
        w.writeEndElement(); // style
    }

    w.writeStartElement(QStringLiteral("w:style"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("table"));
    w.writeAttribute(QStringLiteral("w:default"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("w:styleId"), QStringLiteral("TableNormal"));
    w.writeEmptyElement(QStringLiteral("w:name"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal Table"));
    w.writeStartElement(QStringLiteral("w:tblPr"));
    w.writeEmptyElement(QStringLiteral("w:tblInd"));
    w.writeAttribute(QStringLiteral("w:w"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("dxa"));
    w.writeStartElement(QStringLiteral("w:tblCellMar"));
    for (const char *side : { "top", "left", "bottom", "right" }) {
        w.writeEmptyElement(QStringLiteral("w:") + QLatin1String(side));
        const bool horizontal = side[0] == 'l' || side[0] == 'r';
        w.writeAttribute(QStringLiteral("w:w"), horizontal ? QStringLiteral("108") : QStringLiteral("0"));
        w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("dxa"));
    }
    w.writeEndElement(); // tblCellMar
    w.writeEndElement(); // tblPr
    w.writeEndElement(); // style
    w.writeEndElement(); // styles
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::SettingsXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:settings"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    if (protectedReadOnly) {
        w.writeEmptyElement(QStringLiteral("w:documentProtection"));
        w.writeAttribute(QStringLiteral("w:edit"), QStringLiteral("readOnly"));
        w.writeAttribute(QStringLiteral("w:enforcement"), QStringLiteral("1"));
        w.writeAttribute(QStringLiteral("w:algorithmName"), QStringLiteral("SHA-512"));
        w.writeAttribute(QStringLiteral("w:hashValue"), QString::fromLatin1(passwordHash.toBase64()));
        w.writeAttribute(QStringLiteral("w:saltValue"), QString::fromLatin1(salt.toBase64()));
        w.writeAttribute(QStringLiteral("w:spinCount"), QString::number(kSpinCount));
    }
    w.writeEmptyElement(QStringLiteral("w:defaultTabStop"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("708"));
    w.writeEmptyElement(QStringLiteral("w:characterSpacingControl"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("doNotCompress"));
    w.writeStartElement(QStringLiteral("w:compat"));
    w.writeEmptyElement(QStringLiteral("w:compatSetting"));
    w.writeAttribute(QStringLiteral("w:name"), QStringLiteral("compatibilityMode"));
    w.writeAttribute(QStringLiteral("w:uri"), QStringLiteral("http://schemas.microsoft.com/office/word"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("15"));
    w.writeEndElement(); // compat
    w.writeEndElement(); // settings
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::HeaderXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:hdr"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    w.writeNamespace(kNsR, QStringLiteral("r"));
    w.writeNamespace(kNsWp, QStringLiteral("wp"));
    w.writeNamespace(kNsA, QStringLiteral("a"));
    w.writeNamespace(kNsPic, QStringLiteral("pic"));
    w.writeStartElement(QStringLiteral("w:p"));
    w.writeStartElement(QStringLiteral("w:pPr"));
    w.writeEmptyElement(QStringLiteral("w:spacing"));
    w.writeAttribute(QStringLiteral("w:after"), QStringLiteral("0"));
    w.writeEndElement();
    w.writeStartElement(QStringLiteral("w:r"));
    w.writeStartElement(QStringLiteral("w:drawing"));

    w.writeStartElement(QStringLiteral("wp:anchor"));
    for (const char *attr : { "distT", "distB", "distL", "distR", "simplePos", "relativeHeight" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("behindDoc"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("locked"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("layoutInCell"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("allowOverlap"), QStringLiteral("1"));
    w.writeEmptyElement(QStringLiteral("wp:simplePos"));
    w.writeAttribute(QStringLiteral("x"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("y"), QStringLiteral("0"));
    w.writeStartElement(QStringLiteral("wp:positionH"));
    w.writeAttribute(QStringLiteral("relativeFrom"), QStringLiteral("column"));
    w.writeTextElement(QStringLiteral("wp:posOffset"), Emu(picLeft));
    w.writeEndElement();
    w.writeStartElement(QStringLiteral("wp:positionV"));
    w.writeAttribute(QStringLiteral("relativeFrom"), QStringLiteral("paragraph"));
    w.writeTextElement(QStringLiteral("wp:posOffset"), Emu(picTop));
    w.writeEndElement();
    w.writeEmptyElement(QStringLiteral("wp:extent"));
    w.writeAttribute(QStringLiteral("cx"), Emu(picWidth));
    w.writeAttribute(QStringLiteral("cy"), Emu(picHeight));
    w.writeEmptyElement(QStringLiteral("wp:effectExtent"));
    for (const char *attr : { "l", "t", "r", "b" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("0"));
    w.writeEmptyElement(QStringLiteral("wp:wrapNone"));
    w.writeEmptyElement(QStringLiteral("wp:docPr"));
    w.writeAttribute(QStringLiteral("id"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("Picture 1"));
    w.writeStartElement(QStringLiteral("wp:cNvGraphicFramePr"));
    w.writeEmptyElement(QStringLiteral("a:graphicFrameLocks"));
    w.writeAttribute(QStringLiteral("noChangeAspect"), QStringLiteral("1"));
    w.writeEndElement();

    w.writeStartElement(QStringLiteral("a:graphic"));
    w.writeStartElement(QStringLiteral("a:graphicData"));
    w.writeAttribute(QStringLiteral("uri"), kNsPic);
    w.writeStartElement(QStringLiteral("pic:pic"));
    w.writeStartElement(QStringLiteral("pic:nvPicPr"));
    w.writeEmptyElement(QStringLiteral("pic:cNvPr"));
    w.writeAttribute(QStringLiteral("id"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("image1.") + QLatin1String(pictureFormat.extension));
    w.writeEmptyElement(QStringLiteral("pic:cNvPicPr"));
    w.writeEndElement(); // nvPicPr
    w.writeStartElement(QStringLiteral("pic:blipFill"));
    w.writeEmptyElement(QStringLiteral("a:blip"));
    w.writeAttribute(QStringLiteral("r:embed"), QStringLiteral("rIdImage1"));
    w.writeStartElement(QStringLiteral("a:stretch"));
    w.writeEmptyElement(QStringLiteral("a:fillRect"));
    w.writeEndElement();
    w.writeEndElement(); // blipFill
    w.writeStartElement(QStringLiteral("pic:spPr"));
    w.writeStartElement(QStringLiteral("a:xfrm"));
    w.writeEmptyElement(QStringLiteral("a:off"));
    w.writeAttribute(QStringLiteral("x"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("y"), QStringLiteral("0"));
    w.writeEmptyElement(QStringLiteral("a:ext"));
    w.writeAttribute(QStringLiteral("cx"), Emu(picWidth));
    w.writeAttribute(QStringLiteral("cy"), Emu(picHeight));
    w.writeEndElement(); // xfrm
    w.writeStartElement(QStringLiteral("a:prstGeom"));
    w.writeAttribute(QStringLiteral("prst"), QStringLiteral("rect"));
    w.writeEmptyElement(QStringLiteral("a:avLst"));
    w.writeEndElement();
    w.writeEndElement(); // spPr
    w.writeEndElement(); // pic
    w.writeEndElement(); // graphicData
    w.writeEndElement(); // graphic
    w.writeEndElement(); // anchor

    w.writeEndElement(); // drawing
    w.writeEndElement(); // r
    w.writeEndElement(); // p
    w.writeEndElement(); // hdr
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::ContentTypesXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Types"));
    w.writeDefaultNamespace(QStringLiteral("http://schemas.openxmlformats.org/package/2006/content-types"));
    auto def = [&](const QString &ext, const QString &type) {
        w.writeEmptyElement(QStringLiteral("Default"));
        w.writeAttribute(QStringLiteral("Extension"), ext);
        w.writeAttribute(QStringLiteral("ContentType"), type);
    };
    auto over = [&](const QString &part, const QString &type) {
        w.writeEmptyElement(QStringLiteral("Override"));
        w.writeAttribute(QStringLiteral("PartName"), part);
        w.writeAttribute(QStringLiteral("ContentType"), type);
    };
    def(QStringLiteral("rels"), QStringLiteral("application/vnd.openxmlformats-package.relationships+xml"));
    def(QStringLiteral("xml"), QStringLiteral("application/xml"));
    def(QStringLiteral("png"), QStringLiteral("image/png"));
    if (!picture.isEmpty() && qstrcmp(pictureFormat.extension, "png") != 0)
        def(QLatin1String(pictureFormat.extension), QLatin1String(pictureFormat.contentType));
    const QString wml = QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.");
    over(QStringLiteral("/word/document.xml"), wml + QStringLiteral("document.main+xml"));
    over(QStringLiteral("/word/styles.xml"), wml + QStringLiteral("styles+xml"));
    over(QStringLiteral("/word/settings.xml"), wml + QStringLiteral("settings+xml"));
    if (!picture.isEmpty())
        over(QStringLiteral("/word/header1.xml"), wml + QStringLiteral("header+xml"));
    over(QStringLiteral("/docProps/core.xml"),
        QStringLiteral("application/vnd.openxmlformats-package.core-properties+xml"));
    over(QStringLiteral("/docProps/app.xml"),
        QStringLiteral("application/vnd.openxmlformats-officedocument.extended-properties+xml"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::DocumentRelsXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Relationships"));
    w.writeDefaultNamespace(kNsRel);
    WriteRelationship(
        w, QStringLiteral("rIdStyles"), kRelBase + QStringLiteral("styles"), QStringLiteral("styles.xml"));
    WriteRelationship(
        w, QStringLiteral("rIdSettings"), kRelBase + QStringLiteral("settings"), QStringLiteral("settings.xml"));
    if (!picture.isEmpty())
        WriteRelationship(
            w, QStringLiteral("rIdHeader1"), kRelBase + QStringLiteral("header"), QStringLiteral("header1.xml"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::CorePropsXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("cp:coreProperties"));
    w.writeNamespace(QStringLiteral("http://schemas.openxmlformats.org/package/2006/metadata/core-properties"),
        QStringLiteral("cp"));
    w.writeNamespace(QStringLiteral("http://purl.org/dc/elements/1.1/"), QStringLiteral("dc"));
    w.writeNamespace(QStringLiteral("http://purl.org/dc/terms/"), QStringLiteral("dcterms"));
    w.writeNamespace(QStringLiteral("http://www.w3.org/2001/XMLSchema-instance"), QStringLiteral("xsi"));
    w.writeTextElement(QStringLiteral("dc:creator"), QStringLiteral("QST Archiver"));
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    w.writeStartElement(QStringLiteral("dcterms:created"));
    w.writeAttribute(QStringLiteral("xsi:type"), QStringLiteral("dcterms:W3CDTF"));
    w.writeCharacters(now);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray TWordDocument::Impl::AppPropsXml() const
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Properties"));
    w.writeDefaultNamespace(
        QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/extended-properties"));
    w.writeTextElement(QStringLiteral("Application"), QStringLiteral("QST Archiver"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

TWordDocument::TWordDocument()
    : m_impl(std::make_unique<Impl>())
{
}

TWordDocument::~TWordDocument() = default;

void TWordDocument::SetLandscape(bool landscape)
{
    m_impl->landscape = landscape;
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
        AppendText(*p, Sanitized(pieces.at(i)), d.fontSize);
    }
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
    const Paragraph cellParagraph = at.Follower(d.fontSize);
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
    for (int r = d.sel.row; r <= d.sel.lastRow && r < int(d.sel.table->rows.size()); ++r)
        d.sel.table->rows[r].exactHeight = points;
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
    row.exactHeight = from.exactHeight;
    row.cells.reserve(from.cells.size());
    for (const Cell &c : from.cells) {
        Cell copy;
        copy.gridSpan = c.gridSpan;
        copy.paragraphs.push_back(
            c.paragraphs.empty() ? Paragraph {} : c.paragraphs.front().Follower(c.paragraphs.front().markFontSize));
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
    d.picture = imageBytes;
    d.pictureFormat = format;
    d.picLeft = left;
    d.picTop = top;
    d.picWidth = width;
    d.picHeight = height;
    return true;
}

void TWordDocument::Protect(const QString &password)
{
    Impl &d = *m_impl;
    d.protectedReadOnly = true;
    d.password = password;
    if (d.salt.size() != kSaltLength) {
        d.salt.resize(kSaltLength);
        QRandomGenerator::system()->generate(d.salt.begin(), d.salt.end());
    }
    d.ComputeHash();
}

void TWordDocument::SetProtectionSalt(const QByteArray &salt)
{
    Impl &d = *m_impl;
    d.salt = salt;
    if (d.protectedReadOnly)
        d.ComputeHash();
}

QByteArray TWordDocument::ToDocx() const
{
    const Impl &d = *m_impl;
    // Part names and their bytes, in the package's order: the content types first.
    std::vector<std::pair<QByteArray, QByteArray>> parts;
    parts.emplace_back("[Content_Types].xml", d.ContentTypesXml());
    {
        QByteArray rels;
        QXmlStreamWriter w(&rels);
        StartPart(w);
        w.writeStartElement(QStringLiteral("Relationships"));
        w.writeDefaultNamespace(kNsRel);
        WriteRelationship(w, QStringLiteral("rId1"), kRelBase + QStringLiteral("officeDocument"),
            QStringLiteral("word/document.xml"));
        WriteRelationship(w, QStringLiteral("rId2"),
            QStringLiteral("http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties"),
            QStringLiteral("docProps/core.xml"));
        WriteRelationship(w, QStringLiteral("rId3"), kRelBase + QStringLiteral("extended-properties"),
            QStringLiteral("docProps/app.xml"));
        w.writeEndElement();
        w.writeEndDocument();
        parts.emplace_back("_rels/.rels", rels);
    }
    ParagraphStyles styles;
    parts.emplace_back("word/document.xml", d.DocumentXml(styles));
    parts.emplace_back("word/_rels/document.xml.rels", d.DocumentRelsXml());
    parts.emplace_back("word/styles.xml", d.StylesXml(styles));
    parts.emplace_back("word/settings.xml", d.SettingsXml());
    if (!d.picture.isEmpty()) {
        const QByteArray media = QByteArray("media/image1.") + d.pictureFormat.extension;
        parts.emplace_back("word/header1.xml", d.HeaderXml());
        QByteArray rels;
        QXmlStreamWriter w(&rels);
        StartPart(w);
        w.writeStartElement(QStringLiteral("Relationships"));
        w.writeDefaultNamespace(kNsRel);
        WriteRelationship(
            w, QStringLiteral("rIdImage1"), kRelBase + QStringLiteral("image"), QString::fromLatin1(media));
        w.writeEndElement();
        w.writeEndDocument();
        parts.emplace_back("word/_rels/header1.xml.rels", rels);
        parts.emplace_back("word/" + media, d.picture);
    }
    parts.emplace_back("docProps/core.xml", d.CorePropsXml());
    parts.emplace_back("docProps/app.xml", d.AppPropsXml());

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *target = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!target)
        return {};
    zip_t *archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_source_free(target);
        return {};
    }
    zip_source_keep(target);
    bool ok = true;
    for (const auto &[name, bytes] : parts) {
        zip_source_t *source = zip_source_buffer(archive, bytes.constData(), zip_uint64_t(bytes.size()), 0);
        const zip_int64_t index = source ? zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            zip_source_free(source);
            ok = false;
            break;
        }
        // Pictures are compressed already; the XML parts shrink tenfold even at the fastest level.
        if (name.startsWith("word/media/"))
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
        else
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
    }
    if (!ok) {
        zip_discard(archive);
        zip_source_free(target);
        return {};
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        zip_source_free(target);
        return {};
    }

    QByteArray out;
    if (zip_source_open(target) == 0) {
        zip_source_seek(target, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(target);
        zip_source_seek(target, 0, SEEK_SET);
        if (size > 0) {
            out.resize(qsizetype(size));
            if (zip_source_read(target, out.data(), zip_uint64_t(size)) != size)
                out.clear();
        }
        zip_source_close(target);
    }
    zip_source_free(target);
    return out;
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
