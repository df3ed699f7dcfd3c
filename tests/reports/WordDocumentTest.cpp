#include "reports/WordDocument.h"
#include "reports/DocxReader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

// A4 text width in points with 3 cm and 1.5 cm side margins.
constexpr double kPortraitTextWidth = (11906 - 1701 - 850) / 20.0;
constexpr double kLandscapeTextWidth = (16838 - 1701 - 850) / 20.0;

DocxDocument Read(const TWordDocument &doc)
{
    const DocxDocument d = ReadDocx(doc.ToDocx());
    EXPECT_TRUE(d.valid) << d.error.toStdString();
    return d;
}

QStringList RowTexts(const DocxRow &row)
{
    QStringList texts;
    for (const DocxCell &c : row.cells)
        texts.append(c.Text());
    return texts;
}

QList<int> Spans(const DocxRow &row)
{
    QList<int> spans;
    for (const DocxCell &c : row.cells)
        spans.append(c.gridSpan);
    return spans;
}

QStringList Merges(const DocxRow &row)
{
    QStringList merges;
    for (const DocxCell &c : row.cells)
        merges.append(c.vMerge);
    return merges;
}

void TypeRow(TWordDocument &doc, int table, int row, const QStringList &texts)
{
    for (int j = 0; j < texts.size(); ++j) {
        doc.SelectCell(table, row, j + 1);
        doc.TypeText(texts.at(j));
    }
}

// A small PNG: signature and a 1x1 image.
QByteArray TinyPng()
{
    return QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");
}

} // namespace

// The opening of a protocol: title, period line, an unbordered header table with exact row heights.
TEST(WordDocument, ParagraphsAndHeaderTable)
{
    TWordDocument doc;
    doc.TypeText(QStringLiteral("Часовой протокол"));
    doc.SetAlignment(kAlignCenter);
    doc.SetSpaceAfter(0);
    doc.TypeParagraph();
    doc.TypeText(QStringLiteral("за период с 01.03.2010 по 02.03.2010"));
    doc.SetAlignment(kAlignCenter);
    doc.SetSpaceAfter(0);
    doc.TypeParagraph();
    doc.SetAlignment(kAlignLeft);
    doc.SetFontSize(8);
    EXPECT_EQ(doc.AddTable(5, 2), 1);
    TypeRow(doc, 1, 1, { QStringLiteral("Название потребителя: A"), QStringLiteral("Телефон: 1") });
    TypeRow(doc, 1, 5, { QStringLiteral("Тепловычислитель: QST-99M 5.4"), QStringLiteral("Зав. №: 100") });
    doc.SetColumnWidth(1, 1, 300);
    doc.SetColumnWidth(1, 2, 150);
    doc.SelectTable(1);
    doc.SetRowHeightExactly(10);
    doc.LeaveTable();
    doc.TypeParagraph();
    doc.TypeText(QStringLiteral("после"));

    const DocxDocument d = Read(doc);
    ASSERT_EQ(d.blocks.size(), 5);
    EXPECT_EQ(d.blocks[0].text, QStringLiteral("Часовой протокол"));
    EXPECT_EQ(d.blocks[0].alignment, 1);
    EXPECT_EQ(d.blocks[0].spaceAfter, 0);
    EXPECT_EQ(d.blocks[0].fontSize, 12);
    EXPECT_EQ(d.blocks[1].alignment, 1);
    // The empty paragraph the table was added in is gone; an empty one follows the table.
    ASSERT_TRUE(d.blocks[2].isTable);
    EXPECT_FALSE(d.blocks[3].isTable);
    EXPECT_EQ(d.blocks[3].text, QString());
    EXPECT_EQ(d.blocks[4].text, QStringLiteral("после"));
    EXPECT_EQ(d.blocks[4].fontSize, 8);
    EXPECT_EQ(d.blocks[4].alignment, 0);

    const DocxTable &t = d.blocks[2].table;
    EXPECT_FALSE(t.bordered);
    EXPECT_EQ(t.gridWidths, (QList<double> { 300, 150 }));
    ASSERT_EQ(t.rows.size(), 5);
    for (const DocxRow &r : t.rows)
        EXPECT_EQ(r.exactHeight, 10);
    EXPECT_EQ(
        RowTexts(t.rows[0]), (QStringList { QStringLiteral("Название потребителя: A"), QStringLiteral("Телефон: 1") }));
    EXPECT_EQ(RowTexts(t.rows[3]), (QStringList { QString(), QString() }));
    EXPECT_EQ(t.rows[4].cells[1].Text(), QStringLiteral("Зав. №: 100"));
    EXPECT_EQ(t.rows[0].cells[0].fontSize, 8);
    EXPECT_EQ(t.rows[0].cells[0].alignment, 0);

    const QByteArray styles = ReadZipPart(doc.ToDocx(), QStringLiteral("word/styles.xml"));
    EXPECT_TRUE(styles.contains("Times New Roman"));
    EXPECT_TRUE(styles.contains("<w:sz w:val=\"24\"/>"));
}

TEST(WordDocument, TableAfterTextAndDefaultWidths)
{
    for (bool landscape : { false, true }) {
        TWordDocument doc;
        doc.SetLandscape(landscape);
        doc.TypeText(QStringLiteral("текст"));
        EXPECT_EQ(doc.AddTable(1, 3), 1);
        doc.TypeText(QStringLiteral("в ячейке"));
        const DocxDocument d = Read(doc);
        ASSERT_EQ(d.blocks.size(), 3);
        EXPECT_EQ(d.blocks[0].text, QStringLiteral("текст"));
        ASSERT_TRUE(d.blocks[1].isTable);
        EXPECT_FALSE(d.blocks[2].isTable);
        EXPECT_EQ(d.blocks[1].table.rows[0].cells[0].Text(), QStringLiteral("в ячейке"));

        const double textWidth = landscape ? kLandscapeTextWidth : kPortraitTextWidth;
        ASSERT_EQ(d.blocks[1].table.gridWidths.size(), 3);
        double sum = 0;
        for (double w : d.blocks[1].table.gridWidths) {
            EXPECT_NEAR(w, textWidth / 3, 0.05);
            sum += w;
        }
        EXPECT_NEAR(sum, textWidth, 0.1);
        EXPECT_NEAR(doc.ColumnWidth(1, 2), textWidth / 3, 1e-9);

        EXPECT_EQ(d.landscape, landscape);
        EXPECT_NEAR(d.pageWidth, landscape ? 841.9 : 595.3, 0.01);
        EXPECT_NEAR(d.pageHeight, landscape ? 595.3 : 841.9, 0.01);
    }
}

// Data table rows written as the reports write them: type a row, append the next, and at a
// repeated header line split the table with a page break.
TEST(WordDocument, AppendRowsAndSplitAtPageBreaks)
{
    TWordDocument doc;
    doc.SetFontSize(8);
    const int t = doc.AddTable(1, 3);
    doc.FrameTable(t);
    doc.SelectTable(t);
    doc.SetSpaceAfter(0);
    const QList<QStringList> lines = { { "Дата", "Q", "M1" }, { "01.03 01:00", "1", "2" }, { "Дата", "Q", "M1" },
        { "02.03 01:00", "3", "4" }, { "Дата", "Q", "M1" }, { "03.03 01:00", "5", "6" } };
    int current = t;
    int y = 1;
    for (int i = 0; i < lines.size(); ++i) {
        for (int j = 0; j < 3; ++j) {
            if (i > 0 && lines[i][j] == QStringLiteral("Дата")) {
                doc.SelectCell(current, y, j + 1);
                doc.InsertBreak();
                current = doc.TableCount();
                doc.FrameTable(current);
                y = 1;
            }
            doc.SelectCell(current, y, j + 1);
            doc.TypeText(lines[i][j]);
        }
        if (i + 1 < lines.size()) {
            if (doc.ColumnWidth(current, 1) < 50)
                doc.SetColumnWidthProportional(current, 1, 50);
            doc.AppendRow();
            ++y;
        }
    }
    doc.LeaveTable();
    EXPECT_EQ(doc.TableCount(), 3);
    EXPECT_EQ(doc.RowCount(1), 2);
    EXPECT_EQ(doc.RowCount(3), 2);

    const DocxDocument d = Read(doc);
    // table, break paragraph, table, break paragraph, table, empty paragraph
    ASSERT_EQ(d.blocks.size(), 6);
    for (int i : { 0, 2, 4 }) {
        ASSERT_TRUE(d.blocks[i].isTable) << i;
        const DocxTable &tb = d.blocks[i].table;
        EXPECT_TRUE(tb.bordered);
        ASSERT_EQ(tb.rows.size(), 2);
        EXPECT_EQ(RowTexts(tb.rows[0]), (QStringList { "Дата", "Q", "M1" }));
        EXPECT_EQ(tb.rows[1].cells[1].Text(), QString::number(1 + i));
        EXPECT_EQ(tb.gridWidths, d.blocks[0].table.gridWidths);
        EXPECT_EQ(tb.rows[1].cells[0].fontSize, 8);
    }
    for (int i : { 1, 3 }) {
        EXPECT_FALSE(d.blocks[i].isTable);
        EXPECT_TRUE(d.blocks[i].pageBreak);
        EXPECT_EQ(d.blocks[i].text, QString());
    }
    EXPECT_FALSE(d.blocks[5].isTable);
    EXPECT_FALSE(d.blocks[5].pageBreak);
}

// Rows never split; heading rows repeat on every page and keep with the row after them, also
// in the part after a page break; rows appended after a heading row are plain rows.
TEST(WordDocument, HeadingRowsAndRowsThatNeverSplit)
{
    TWordDocument doc;
    doc.SetFontSize(8);
    const int t = doc.AddTable(1, 2);
    doc.SelectCell(t, 1, 1);
    doc.TypeText(QStringLiteral("Дата"));
    doc.SetHeadingRows();
    doc.AppendRow();
    doc.TypeText(QStringLiteral("01.03.2010"));
    doc.AppendRow();
    doc.SelectCell(t, 3, 1);
    doc.InsertBreak();
    doc.TypeText(QStringLiteral("Дата"));
    doc.SetHeadingRows();
    doc.SetCellMargins(doc.TableCount(), 1.5);
    doc.LeaveTable();

    const DocxDocument d = Read(doc);
    const QList<const DocxTable *> tables = d.Tables();
    ASSERT_EQ(tables.size(), 2);
    for (const DocxTable *tb : tables)
        for (const DocxRow &row : tb->rows)
            EXPECT_TRUE(row.cantSplit);
    EXPECT_TRUE(tables[0]->rows[0].heading);
    EXPECT_FALSE(tables[0]->rows[1].heading);
    EXPECT_TRUE(tables[1]->rows[0].heading);
    const QByteArray xml = ReadZipPart(doc.ToDocx(), QStringLiteral("word/document.xml"));
    const QByteArray styles = ReadZipPart(doc.ToDocx(), QStringLiteral("word/styles.xml"));
    EXPECT_TRUE(styles.contains("<w:keepNext/>")) << "heading cells keep with the next row";
    EXPECT_EQ(xml.count("<w:tblCellMar><w:left w:w=\"30\""), 1) << "the split-off part's own margins";
    // The break is a "page break before" of its own small paragraph: at the top of a page it adds none.
    ASSERT_GE(d.blocks.size(), 2);
    EXPECT_TRUE(d.blocks[1].pageBreak);
    EXPECT_TRUE(xml.contains("<w:pageBreakBefore/>"));
    EXPECT_FALSE(xml.contains("w:type=\"page\""));
}

// Proportional width: the table keeps its width; the other columns share the rest by their widths.
TEST(WordDocument, ProportionalColumnWidth)
{
    TWordDocument doc;
    doc.AddTable(1, 4);
    doc.SetColumnWidth(1, 2, 100);
    doc.SetColumnWidth(1, 3, 200);
    doc.SetColumnWidth(1, 4, 100);
    doc.SetColumnWidth(1, 1, 20);
    doc.SetColumnWidthProportional(1, 1, 50);
    EXPECT_DOUBLE_EQ(doc.ColumnWidth(1, 1), 50);
    EXPECT_DOUBLE_EQ(doc.ColumnWidth(1, 2), 92.5);
    EXPECT_DOUBLE_EQ(doc.ColumnWidth(1, 3), 185);
    EXPECT_DOUBLE_EQ(doc.ColumnWidth(1, 4), 92.5);
    const DocxDocument d = Read(doc);
    EXPECT_EQ(d.Tables().front()->gridWidths, (QList<double> { 50, 92.5, 185, 92.5 }));
}

// The statement's two-row heading: merges down and to the right, cell numbers shifting after each.
TEST(WordDocument, MergedHeadingCells)
{
    TWordDocument doc;
    doc.SetFontSize(8);
    const int t = doc.AddTable(1, 13);
    doc.FrameTable(t);
    doc.AppendRow();
    QStringList header;
    for (int j = 1; j <= 13; ++j)
        header.append(j == 1 ? QStringLiteral("Дата") : QStringLiteral("h%1").arg(j));
    TypeRow(doc, t, 2, header);
    doc.AppendRow();
    TypeRow(doc, t, 3, { QStringLiteral("25.01.2010") });

    struct Merge
    {
        int cell;
        int down;
        int right;
        const char *heading;
    };
    const Merge merges[] = { { 1, 1, 0, nullptr }, { 2, 1, 0, "Тепловая энергия" }, { 3, 0, 3, "Масса" },
        { 4, 0, 2, "Температура" }, { 5, 0, 1, "Давление" }, { 6, 0, 1, "Время, ч" } };
    for (const Merge &m : merges) {
        doc.SelectCell(t, 1, m.cell);
        if (m.down)
            doc.ExtendSelectionDown(m.down);
        if (m.right)
            doc.ExtendSelectionRight(m.right);
        doc.MergeCells();
        doc.SetAlignment(kAlignCenter);
        if (m.heading)
            doc.TypeText(QString::fromUtf8(m.heading));
    }
    EXPECT_EQ(doc.CellCount(t, 1), 6);
    EXPECT_EQ(doc.CellCount(t, 2), 13);
    EXPECT_EQ(doc.CellCount(t, 3), 13);

    const DocxDocument d = Read(doc);
    const DocxTable &tb = *d.Tables().front();
    ASSERT_EQ(tb.rows.size(), 3);
    EXPECT_EQ(Spans(tb.rows[0]), (QList<int> { 1, 1, 4, 3, 2, 2 }));
    EXPECT_EQ(Merges(tb.rows[0]), (QStringList { "restart", "restart", "", "", "", "" }));
    EXPECT_EQ(Merges(tb.rows[1]).mid(0, 3), (QStringList { "continue", "continue", "" }));
    EXPECT_EQ(Spans(tb.rows[1]), QList<int>(13, 1));
    // The date label moved up into the merged cell; a typed heading replaced the merged content.
    EXPECT_EQ(RowTexts(tb.rows[0]),
        (QStringList { "Дата", "Тепловая энергия", "Масса", "Температура", "Давление", "Время, ч" }));
    EXPECT_EQ(tb.rows[1].cells[0].Text(), QString());
    EXPECT_EQ(tb.rows[1].cells[2].Text(), QStringLiteral("h3"));
    for (const DocxCell &c : tb.rows[0].cells)
        EXPECT_EQ(c.alignment, 1);
    EXPECT_EQ(tb.rows[2].cells[0].Text(), QStringLiteral("25.01.2010"));
    EXPECT_EQ(tb.rows[2].cells[0].alignment, 0);
}

// A new row copies the row's cell layout and paragraph settings, not its texts.
TEST(WordDocument, AppendRowCopiesLayout)
{
    TWordDocument doc;
    const int t = doc.AddTable(1, 4);
    doc.SelectCell(t, 1, 2);
    doc.ExtendSelectionRight(1);
    doc.MergeCells();
    doc.TypeText(QStringLiteral("merged"));
    doc.SetAlignment(kAlignCenter);
    doc.SelectCell(t, 1, 3);
    doc.TypeText(QStringLiteral("last"));
    doc.SetRowHeightExactly(12);
    doc.AppendRow();
    doc.TypeText(QStringLiteral("new first"));
    EXPECT_EQ(doc.CellCount(t, 2), 3);

    const DocxDocument d = Read(doc);
    const DocxTable &tb = *d.Tables().front();
    ASSERT_EQ(tb.rows.size(), 2);
    EXPECT_EQ(Spans(tb.rows[1]), (QList<int> { 1, 2, 1 }));
    EXPECT_EQ(RowTexts(tb.rows[1]), (QStringList { "new first", "", "" }));
    EXPECT_EQ(tb.rows[1].cells[1].alignment, 1);
    EXPECT_EQ(tb.rows[1].cells[0].alignment, 0);
    EXPECT_EQ(tb.rows[1].exactHeight, 12);
    // The cell width covers both spanned grid columns.
    const QByteArray xml = ReadZipPart(doc.ToDocx(), QStringLiteral("word/document.xml"));
    const int half = qRound(kPortraitTextWidth / 4 * 20);
    EXPECT_TRUE(xml.contains(
        QStringLiteral("<w:tcW w:w=\"%1\" w:type=\"dxa\"/><w:gridSpan w:val=\"2\"/>").arg(2 * half).toUtf8()))
        << xml.left(3000).toStdString();
}

// Paragraph ends and line breaks in typed text, in the body and in a cell.
TEST(WordDocument, ParagraphsAndLineBreaksInText)
{
    TWordDocument doc;
    doc.TypeText(QStringLiteral("один\rдва\vтри"));
    const int t = doc.AddTable(1, 2);
    doc.SelectCell(t, 1, 1);
    doc.TypeText(QStringLiteral("старое"));
    doc.SelectCell(t, 1, 1);
    doc.TypeText(QStringLiteral("Тнc=\rTmax+Tmin+\r+Tdt+Tош"));
    doc.SelectCell(t, 1, 2);
    doc.TypeText(QStringLiteral("A\vB"));
    doc.TypeText(QStringLiteral("C"));

    const DocxDocument d = Read(doc);
    ASSERT_GE(d.blocks.size(), 3);
    EXPECT_EQ(d.blocks[0].text, QStringLiteral("один"));
    // A vertical tab is a control character: a blank, not a hidden line break.
    EXPECT_EQ(d.blocks[1].text, QStringLiteral("два три"));
    const DocxTable &tb = *d.Tables().front();
    EXPECT_EQ(tb.rows[0].cells[0].paragraphs, (QStringList { "Тнc=", "Tmax+Tmin+", "+Tdt+Tош" }));
    EXPECT_EQ(tb.rows[0].cells[1].paragraphs, (QStringList { "A BC" }));
    EXPECT_EQ(doc.ReplacedCharacters(), 2);
}

// Whatever the text, the document stays well-formed XML; control characters and what XML cannot hold print as blanks.
TEST(WordDocument, TextEscaping)
{
    struct Case
    {
        QString typed;
        QString shown;
    };
    const QString lone = QString(QChar(0xD800));
    const QString pair = QString::fromUtf16(u"\U0001F600");
    const Case cases[] = {
        { QStringLiteral("<&\"'>"), QStringLiteral("<&\"'>") },
        { QStringLiteral("ООО \"Ромашка\" & <Ко>"), QStringLiteral("ООО \"Ромашка\" & <Ко>") },
        { QStringLiteral("T1 °C, № 5"), QStringLiteral("T1 °C, № 5") },
        { QStringLiteral("a\x01"
                         "b\x1f"
                         "c\x08"
                         "d\x0c"
                         "e"),
            QStringLiteral("a b c d e") },
        { QStringLiteral("del\x7f") + QChar(0x85) + QStringLiteral("c1"), QStringLiteral("del  c1") },
        { QStringLiteral("x") + QChar(0xFFFF) + QChar(0xFFFE) + QStringLiteral("y"), QStringLiteral("x  y") },
        { QStringLiteral("p") + lone + QStringLiteral("q") + pair, QStringLiteral("p q") + pair },
        { QStringLiteral("tab\there"), QStringLiteral("tab\there") },
        { QStringLiteral("]]> <![CDATA["), QStringLiteral("]]> <![CDATA[") },
    };
    for (const Case &c : cases) {
        TWordDocument doc;
        doc.TypeText(c.typed);
        const int t = doc.AddTable(1, 1);
        doc.SelectCell(t, 1, 1);
        doc.TypeText(c.typed);
        const DocxDocument d = ReadDocx(doc.ToDocx());
        ASSERT_TRUE(d.valid) << d.error.toStdString();
        EXPECT_EQ(d.blocks[0].text, c.shown);
        EXPECT_EQ(d.Tables().front()->rows[0].cells[0].Text(), c.shown);
    }
}

TEST(WordDocument, HeaderPicture)
{
    TWordDocument doc;
    doc.SetLandscape(true);
    doc.TypeText(QStringLiteral("x"));
    EXPECT_FALSE(doc.AddHeaderPicture(QByteArray("not a picture"), -30, -20, 800, 550));
    EXPECT_FALSE(Read(doc).headerPicture);

    const QByteArray png = TinyPng();
    ASSERT_TRUE(doc.AddHeaderPicture(png, -30, -20, 800, 550));
    const QByteArray bytes = doc.ToDocx();
    const DocxDocument d = ReadDocx(bytes);
    ASSERT_TRUE(d.valid) << d.error.toStdString();
    EXPECT_TRUE(d.headerPicture);
    EXPECT_TRUE(d.pictureBehindText);
    EXPECT_DOUBLE_EQ(d.pictureLeft, -30);
    EXPECT_DOUBLE_EQ(d.pictureTop, -20);
    EXPECT_DOUBLE_EQ(d.pictureWidth, 800);
    EXPECT_DOUBLE_EQ(d.pictureHeight, 550);
    EXPECT_EQ(d.pictureBytes, png);
    EXPECT_TRUE(d.parts.contains(QStringLiteral("word/media/image1.png")));
    EXPECT_TRUE(ReadZipPart(bytes, QStringLiteral("[Content_Types].xml")).contains("Extension=\"png\""));
    const QByteArray header = ReadZipPart(bytes, QStringLiteral("word/header1.xml"));
    EXPECT_TRUE(header.contains("relativeFrom=\"column\""));
    EXPECT_TRUE(header.contains("relativeFrom=\"paragraph\""));
}

TEST(WordDocument, PackageLayout)
{
    TWordDocument doc;
    doc.TypeText(QStringLiteral("x"));
    const DocxDocument d = Read(doc);
    ASSERT_FALSE(d.parts.isEmpty());
    EXPECT_EQ(d.parts.front(), QStringLiteral("[Content_Types].xml"));
    for (const char *part :
        { "_rels/.rels", "word/document.xml", "word/_rels/document.xml.rels", "word/styles.xml", "word/settings.xml" })
        EXPECT_TRUE(d.parts.contains(QLatin1String(part))) << part;
    EXPECT_TRUE(d.protection.isEmpty());
}

// Read-only enforcement with the password hashed as ISO/IEC 29500 prescribes:
// H0 = SHA-512(salt + UTF-16LE password), Hi+1 = SHA-512(Hi + i as 4 bytes little endian).
TEST(WordDocument, ProtectionHash)
{
    QByteArray salt;
    for (int i = 0; i < 16; ++i)
        salt.append(char(i));
    TWordDocument doc;
    doc.TypeText(QStringLiteral("x"));
    doc.SetProtectionSalt(salt);
    doc.Protect(QStringLiteral("LedgerSealPwd"));
    const DocxDocument d = Read(doc);

    QByteArray input = salt;
    for (char c : QByteArray("LedgerSealPwd")) {
        input.append(c);
        input.append('\0');
    }
    QByteArray h = QCryptographicHash::hash(input, QCryptographicHash::Sha512);
    for (quint32 i = 0; i < 100000; ++i) {
        QByteArray next = h;
        for (int b = 0; b < 4; ++b)
            next.append(char((i >> (8 * b)) & 0xFF));
        h = QCryptographicHash::hash(next, QCryptographicHash::Sha512);
    }
    // The same figure from Python's hashlib, computed once by hand.
    const QString golden
        = QStringLiteral("eDaR7zb3rZpivth7QKzjP6IrDv4YhmO8QT5cLL1Vz+W5lmxoAmbR0VRv22KILQnR78XptznhCMvvcRNx4ooZag==");
    EXPECT_EQ(QString::fromLatin1(h.toBase64()), golden);

    EXPECT_EQ(d.protection.value(QStringLiteral("edit")), QStringLiteral("readOnly"));
    EXPECT_EQ(d.protection.value(QStringLiteral("enforcement")), QStringLiteral("1"));
    EXPECT_EQ(d.protection.value(QStringLiteral("algorithmName")), QStringLiteral("SHA-512"));
    EXPECT_EQ(d.protection.value(QStringLiteral("spinCount")), QStringLiteral("100000"));
    EXPECT_EQ(d.protection.value(QStringLiteral("formatting")), QStringLiteral("1")) << "the style lock";
    EXPECT_EQ(d.protection.value(QStringLiteral("saltValue")), QStringLiteral("AAECAwQFBgcICQoLDA0ODw=="));
    EXPECT_EQ(d.protection.value(QStringLiteral("hashValue")), golden);

    // Without a fixed salt every document gets a fresh one.
    TWordDocument a, b;
    a.Protect(QStringLiteral("LedgerSealPwd"));
    b.Protect(QStringLiteral("LedgerSealPwd"));
    const QString saltA = Read(a).protection.value(QStringLiteral("saltValue"));
    EXPECT_EQ(QByteArray::fromBase64(saltA.toLatin1()).size(), 16);
    EXPECT_NE(saltA, Read(b).protection.value(QStringLiteral("saltValue")));
}

TEST(WordDocument, SaveWritesTheFile)
{
    QTemporaryDir dir;
    TWordDocument doc;
    doc.TypeText(QStringLiteral("сохранено"));
    const QString name = dir.filePath(QStringLiteral("протокол.docx"));
    QString error;
    ASSERT_TRUE(doc.SaveAs(name, &error)) << error.toStdString();
    const DocxDocument d = ReadDocxFile(name);
    ASSERT_TRUE(d.valid) << d.error.toStdString();
    EXPECT_EQ(d.blocks[0].text, QStringLiteral("сохранено"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList { QStringLiteral("протокол.docx") });
}

// A save that cannot happen leaves nothing behind and says why (tests run as root, so no
// permission cases: a missing folder and a "folder" that is a regular file).
TEST(WordDocument, FailedSaveLeavesNoFile)
{
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("x");
    plain.close();

    TWordDocument doc;
    doc.TypeText(QStringLiteral("x"));
    for (const QString &target :
        { dir.filePath(QStringLiteral("missing/out.docx")), dir.filePath(QStringLiteral("plain/out.docx")) }) {
        QString error;
        EXPECT_FALSE(doc.SaveAs(target, &error)) << target.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_FALSE(QFile::exists(target));
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { "plain" });
}

// An existing file is replaced whole on success.
TEST(WordDocument, SaveReplacesExistingFile)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("out.docx"));
    QFile old(name);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'z'));
    old.close();
    TWordDocument doc;
    doc.TypeText(QStringLiteral("новый"));
    QString error;
    ASSERT_TRUE(doc.SaveAs(name, &error)) << error.toStdString();
    EXPECT_EQ(ReadDocxFile(name).blocks[0].text, QStringLiteral("новый"));
}
