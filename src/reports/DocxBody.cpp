#include "DocxBody.h"

#include <cmath>

namespace qst::docx {

const QString kNsW = QStringLiteral("http://schemas.openxmlformats.org/wordprocessingml/2006/main");
const QString kNsR = QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/relationships");

int ParagraphStyles::IndexFor(const Paragraph &p)
{
    const Key key { p.alignment, p.spaceAfter, p.markFontSize, p.keepNext };
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

namespace {

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

qint64 Twips(double points)
{
    return std::llround(points * 20.0);
}

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

void WriteParagraph(BodyXml &x, const Paragraph &p, ParagraphStyles &styles, bool lastAfterTable = false)
{
    x << "<w:p><w:pPr><w:pStyle w:val=\"" << styles.Id(styles.IndexFor(p)) << "\"/>";
    // A break before the paragraph rather than a break character in it: at the top of a page
    // it starts no second page.
    if (p.pageBreak)
        x << "<w:pageBreakBefore/>";
    // The empty paragraph a document must end with, after a table that fills the page, would
    // make a page of its own: it is one point high.
    if (lastAfterTable)
        x << "<w:spacing w:before=\"0\" w:after=\"0\" w:line=\"20\" w:lineRule=\"exact\"/>"
             "<w:rPr><w:sz w:val=\"2\"/></w:rPr>";
    x << "</w:pPr>";
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
        grid.push_back(Twips(width));
        total += grid.back();
    }

    x << "<w:tbl><w:tblPr><w:tblW w:w=\"" << total << "\" w:type=\"dxa\"/><w:tblBorders>";
    static const char *const kSides[] = { "top", "left", "bottom", "right", "insideH", "insideV" };
    for (const char *side : kSides)
        x << "<w:" << side
          << (t.framed ? " w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"auto\"/>"
                       : " w:val=\"none\" w:sz=\"0\" w:space=\"0\" w:color=\"auto\"/>");
    x << "</w:tblBorders><w:tblLayout w:type=\"fixed\"/>";
    if (t.cellMargin != kDefaultCellMargin) {
        const qint64 margin = Twips(t.cellMargin);
        x << "<w:tblCellMar><w:left w:w=\"" << margin << "\" w:type=\"dxa\"/><w:right w:w=\"" << margin
          << "\" w:type=\"dxa\"/></w:tblCellMar>";
    }
    x << "</w:tblPr><w:tblGrid>";
    for (qint64 g : grid)
        x << "<w:gridCol w:w=\"" << g << "\"/>";
    x << "</w:tblGrid>";

    for (const Row &row : t.rows) {
        // No row is ever split across two pages.
        x << "<w:tr><w:trPr><w:cantSplit/>";
        if (row.heightRule != HeightRule::Auto && row.height > 0)
            x << "<w:trHeight w:val=\"" << Twips(row.height)
              << (row.heightRule == HeightRule::Exactly ? "\" w:hRule=\"exact\"/>" : "\" w:hRule=\"atLeast\"/>");
        if (row.heading)
            x << "<w:tblHeader/>";
        x << "</w:trPr>";
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

} // namespace

QByteArray DocumentXml(const DocumentModel &model, ParagraphStyles &styles)
{
    qsizetype cells = 0;
    for (const Block &b : model.body)
        if (b.table)
            for (const Row &r : b.table->rows)
                cells += qsizetype(r.cells.size());
    QByteArray out;
    out.reserve(4096 + qsizetype(model.body.size()) * 256 + cells * 160);
    BodyXml x(out);
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      << "<w:document xmlns:w=\"" << kNsW << "\" xmlns:r=\"" << kNsR << "\"><w:body>";
    const size_t blocks = model.body.size();
    for (size_t i = 0; i < blocks; ++i) {
        const Block &b = model.body[i];
        if (b.table)
            WriteTable(x, *b.table, styles);
        else
            WriteParagraph(x, b.paragraph, styles,
                i + 1 == blocks && i > 0 && model.body[i - 1].table && b.paragraph.runs.empty());
    }
    const bool landscape = model.landscape;
    x << "<w:sectPr>";
    if (!model.picture.bytes.isEmpty())
        x << "<w:headerReference w:type=\"default\" r:id=\"rIdHeader1\"/>";
    x << "<w:pgSz w:w=\"" << qint64(landscape ? kA4Height : kA4Width) << "\" w:h=\""
      << qint64(landscape ? kA4Width : kA4Height) << "\"" << (landscape ? " w:orient=\"landscape\"/>" : "/>");
    x << "<w:pgMar w:top=\"" << qint64(kMarginTop) << "\" w:right=\"" << qint64(kMarginRight) << "\" w:bottom=\""
      << qint64(kMarginBottom) << "\" w:left=\"" << qint64(kMarginLeft) << "\" w:header=\"" << qint64(kHeaderDistance)
      << "\" w:footer=\"" << qint64(kHeaderDistance) << "\" w:gutter=\"0\"/>";
    x << "</w:sectPr></w:body></w:document>";
    return out;
}

} // namespace qst::docx
