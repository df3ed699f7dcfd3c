#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Reads back what the tests need from a .docx: the body's paragraphs and tables in order,
// the page set-up, the header picture and the protection settings. Independent of the
// writer: it only knows the file format.
namespace qst::test {

struct DocxCell
{
    QStringList paragraphs;  // one text per paragraph; a line break inside one is '\n'
    int gridSpan = 1;        // columns the cell spans
    QString vMerge;          // "", "restart" or "continue"
    int alignment = 0;       // of the first paragraph: 0 left, 1 centre
    double fontSize = 0;     // points, of the first run (0: none)
    QString Text() const { return paragraphs.join(u'\n'); }
};

struct DocxRow
{
    QList<DocxCell> cells;
    double exactHeight = 0; // points when the height rule is exact, else 0
    double minHeight = 0;   // points when the height rule is "at least", else 0
    bool cantSplit = false; // never split across pages
    bool heading = false;   // repeated at the top of each page
};

struct DocxTable
{
    QList<DocxRow> rows;
    QList<double> gridWidths; // points
    bool bordered = false;    // single borders outside and inside
};

struct DocxBlock
{
    bool isTable = false;
    // Paragraph
    QString text;
    int alignment = 0;
    double spaceAfter = -1;   // points; -1 when not set
    double fontSize = 0;      // points, of the first run (0: none)
    bool pageBreak = false;   // holds a page break
    // Table
    DocxTable table;
};

struct DocxDocument
{
    bool valid = false;
    QString error;
    QList<DocxBlock> blocks;
    bool landscape = false;
    double pageWidth = 0;  // points
    double pageHeight = 0; // points
    // Header picture
    bool headerPicture = false;
    bool pictureBehindText = false;
    double pictureLeft = 0, pictureTop = 0, pictureWidth = 0, pictureHeight = 0; // points
    QByteArray pictureBytes;
    // w:documentProtection attributes, by local name
    QMap<QString, QString> protection;
    // Every part name in the package
    QStringList parts;

    QList<const DocxTable *> Tables() const;
};

DocxDocument ReadDocx(const QByteArray &docxBytes);
DocxDocument ReadDocxFile(const QString &fileName);
// One part's bytes from the zip package; empty when missing.
QByteArray ReadZipPart(const QByteArray &docxBytes, const QString &partName);

} // namespace qst::test
