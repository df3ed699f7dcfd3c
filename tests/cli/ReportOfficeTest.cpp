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
}
