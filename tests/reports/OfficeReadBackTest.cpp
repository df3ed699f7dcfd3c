#include "reports/DocxReader.h"
#include "reports/OfficeConversion.h"
#include "reports/WordDocument.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

QByteArray BorderPicture()
{
    QFile f(QStringLiteral(QST_BORDER_PICTURE));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

// LibreOffice opens what the writer produces (merged and split tables, a header picture,
// protection, awkward characters) and shows the texts where they were typed.
TEST(WordDocumentInOffice, ConvertsToText)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed; the read-back through it is skipped";

    TWordDocument doc;
    doc.SetLandscape(true);
    doc.TypeText(QStringLiteral("Ведомость учета"));
    doc.SetAlignment(kAlignCenter);
    doc.TypeParagraph();
    doc.SetAlignment(kAlignLeft);
    doc.SetFontSize(8);
    const int t = doc.AddTable(1, 3);
    doc.FrameTable(t);
    doc.AppendRow();
    const QStringList header = { QStringLiteral("Дата"), QStringLiteral("T1 °C"), QStringLiteral("ВОС") };
    for (int j = 0; j < 3; ++j) {
        doc.SelectCell(t, 2, j + 1);
        doc.TypeText(j == 2 ? QStringLiteral("Тнc=\rTmax+Tmin+\r+Tdt+Tош") : header[j]);
    }
    doc.AppendRow();
    doc.SelectCell(t, 3, 1);
    doc.TypeText(QStringLiteral("25.01.2010"));
    doc.SelectCell(t, 3, 2);
    doc.TypeText(QStringLiteral("ООО \"Рога & <Копыта>\"\x01 №7"));
    doc.AppendRow();
    doc.SelectCell(t, 4, 1);
    doc.InsertBreak();
    doc.FrameTable(doc.TableCount());
    doc.SelectCell(doc.TableCount(), 1, 1);
    doc.TypeText(QStringLiteral("после разрыва"));
    doc.SelectCell(t, 1, 2);
    doc.ExtendSelectionRight(1);
    doc.MergeCells();
    doc.TypeText(QStringLiteral("Температура"));
    doc.SelectCell(t, 1, 1);
    doc.ExtendSelectionDown(1);
    doc.MergeCells();
    doc.LeaveTable();
    doc.TypeParagraph();
    doc.TypeText(QStringLiteral("Представитель потребителя ____"));
    const QByteArray picture = BorderPicture();
    ASSERT_FALSE(picture.isEmpty());
    ASSERT_TRUE(doc.AddHeaderPicture(picture, -30, -20, 800, 550));
    doc.Protect(QStringLiteral("LedgerSealPwd"));

    QTemporaryDir dir;
    const QString docx = dir.filePath(QStringLiteral("statement.docx"));
    QString error;
    ASSERT_TRUE(doc.SaveAs(docx, &error)) << error.toStdString();

    QString txt;
    ASSERT_TRUE(ConvertWithOffice(docx, QStringLiteral("txt:Text"), dir.path(), &txt, &error)) << error.toStdString();
    QFile f(txt);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(f.readAll());
    text.remove(QChar(0xFEFF));
    for (const QString &expected : { QStringLiteral("Ведомость учета"), QStringLiteral("Дата"), QStringLiteral("T1 °C"),
             QStringLiteral("Тнc="), QStringLiteral("+Tdt+Tош"), QStringLiteral("25.01.2010"),
             QStringLiteral("ООО \"Рога & <Копыта>\"  №7") /* the control character a blank */,
             QStringLiteral("после разрыва"),
             QStringLiteral("Температура"), QStringLiteral("Представитель потребителя ____") })
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString() << "\n---\n" << text.toStdString();
    // The order of the document is kept.
    EXPECT_LT(text.indexOf(QStringLiteral("25.01.2010")), text.indexOf(QStringLiteral("после разрыва")));
}

// LibreOffice honours the read-only enforcement: the document it imports is set to load read-only
// (seen in the settings of the same document saved by it as ODF).
TEST(WordDocumentInOffice, OpensProtectedDocumentReadOnly)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed; the read-back through it is skipped";

    QTemporaryDir dir;
    for (bool protect : { false, true }) {
        TWordDocument doc;
        doc.TypeText(QStringLiteral("защищено"));
        if (protect)
            doc.Protect(QStringLiteral("LedgerSealPwd"));
        const QString docx = dir.filePath(protect ? QStringLiteral("locked.docx") : QStringLiteral("open.docx"));
        QString error;
        ASSERT_TRUE(doc.SaveAs(docx, &error)) << error.toStdString();
        QString odt;
        ASSERT_TRUE(ConvertWithOffice(docx, QStringLiteral("odt"), dir.path(), &odt, &error)) << error.toStdString();
        QFile f(odt);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray settings = ReadZipPart(f.readAll(), QStringLiteral("settings.xml"));
        ASSERT_FALSE(settings.isEmpty());
        const QByteArray readOnly = "config:name=\"LoadReadonly\" config:type=\"boolean\">true<";
        EXPECT_EQ(settings.contains(readOnly), protect);
    }
}
