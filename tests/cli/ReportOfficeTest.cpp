// The documents read back by a real word processor: LibreOffice, headless.
#include "CliRun.h"
#include "ReportCliFixture.h"

#include "reports/OfficeConversion.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

// LibreOffice opens what we write: the protocol as text holds the cells of report-rows, the
// statement converts to PDF.
TEST(ReportOffice, LibreOfficeReadsProtocolAndStatement)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    ReportCliFixture f;
    const QString protocol = f.Out(QStringLiteral("protocol.docx"));
    const QStringList items{QStringLiteral("--items"), QStringLiteral("0,2,8,13"), QStringLiteral("--faults")};
    CliRun r = Cli(f.root.path(), Args(QStringLiteral("hourly"), protocol, items));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QString text, error;
    ASSERT_TRUE(ConvertWithOffice(protocol, QStringLiteral("txt:Text"), f.root.path(), &text, &error))
        << error.toStdString();
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString content = QString::fromUtf8(file.readAll());
    const CliRun rows = Cli(f.root.path(), RowsArgs(QStringLiteral("hourly"), items.mid(0, 2)));
    for (const QString &line : rows.out.split(u'\n', Qt::SkipEmptyParts)) {
        QStringList cells = line.split(u'\t');
        cells.removeLast();
        for (const QString &cell : cells)
            EXPECT_TRUE(content.contains(cell)) << cell.toStdString();
    }
    EXPECT_TRUE(content.contains(QStringLiteral("Часовой протокол учёта тепловой энергии воды")));
    EXPECT_TRUE(content.contains(QStringLiteral("Неисправность (1)")));

    const QString statement = f.Out(QStringLiteral("statement.docx"));
    const QString pdf = f.Out(QStringLiteral("pdf/statement.pdf"));
    r = Cli(f.root.path(),
            Args(QStringLiteral("daily"), statement, {QStringLiteral("--statement"), QStringLiteral("--pdf"), pdf}),
            240000);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(Bytes(pdf).startsWith("%PDF"));
    ASSERT_TRUE(ConvertWithOffice(statement, QStringLiteral("txt:Text"), f.root.path(), &text, &error))
        << error.toStdString();
    QFile statementText(text);
    ASSERT_TRUE(statementText.open(QIODevice::ReadOnly));
    const QString s = QString::fromUtf8(statementText.readAll());
    for (const char *expected : {"Ведомость учета отпуска тепловой энергии в системе отопления",
                                 "Температура теплоносителя, °С, средневзвешенная", "Подающий трубопровод М1",
                                 "Представитель потребителя"})
        EXPECT_TRUE(s.contains(QString::fromUtf8(expected))) << expected;
    // The statement's integrator table holds what report-rows prints of it.
    const CliRun readings = Cli(f.root.path(), RowsArgs(QStringLiteral("daily"), {QStringLiteral("--statement"),
                                                                                  QStringLiteral("--integrators")}));
    ASSERT_EQ(readings.exitCode, 0) << readings.err.toStdString();
    const QStringList readingLines = readings.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(readingLines.size(), 6);
    for (const QString &line : readingLines) {
        QStringList cells = line.split(u'\t');
        cells.removeLast();
        for (const QString &cell : cells)
            EXPECT_TRUE(s.contains(cell)) << cell.toStdString();
    }

    // A journal protocol of a meter without a journal file keeps its headings and says so.
    const QString journal = f.Out(QStringLiteral("journal.docx"));
    r = Cli(f.root.path(), Args(QStringLiteral("journal"), journal));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(ConvertWithOffice(journal, QStringLiteral("txt:Text"), f.root.path(), &text, &error))
        << error.toStdString();
    const QString j = QString::fromUtf8(Bytes(text));
    for (const char *expected : {"Журнал тепловычислителя", "Старое значение", "Новое значение", "записей нет"})
        EXPECT_TRUE(j.contains(QString::fromUtf8(expected))) << expected;
}

// LibreOffice Calc opens the exported workbook; converted to CSV with text cells quoted, the
// numbers and dates come back unquoted, that is, as numbers.
TEST(ReportOffice, ExportedWorkbookHoldsNumbers)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    ReportCliFixture f;
    const QString xlsx = f.Out(QStringLiteral("hours.xlsx"));
    const CliRun r = Cli(f.root.path(), {"export", "--serial", "100", "--kind", "hourly", "--from", "2010-03-01",
                                         "--to", "2010-03-01", "--format", "xlsx", "--out", xlsx});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QString csv, error;
    // Separator ';', quote '"', UTF-8, quote all text cells, cells as shown.
    ASSERT_TRUE(ConvertWithOffice(xlsx, QStringLiteral("csv:Text - txt - csv (StarCalc):59,34,76,1,,0,true,true,true"),
                                  f.root.path(), &csv, &error))
        << error.toStdString();
    const QStringList lines = QString::fromUtf8(Bytes(csv)).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 25);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("\"Дата/время\";\"Q (ГКал)\"")));
    // 01.03.2010 07:00, Q 0.875, M1 2, M2 1.5, V1 1, V2 1, T1 70, T2 45.5, T1-T2 24.5, P1 5, P2 4,
    // 1 operating hour, no stop, NS1 5, NS2 0: no cell quoted.
    const QStringList cells = lines[8].trimmed().split(u';');
    ASSERT_EQ(cells.size(), 15) << lines[8].toStdString();
    for (const QString &cell : cells)
        EXPECT_FALSE(cell.startsWith(u'"')) << cell.toStdString();
    EXPECT_EQ(cells[0], QStringLiteral("01.03.2010 07:00:00"));
    EXPECT_EQ(QString(cells[1]).replace(u',', u'.').toDouble(), 0.875);
    EXPECT_EQ(cells[13], QStringLiteral("5"));
}
