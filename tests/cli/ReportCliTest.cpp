// qst-cli report: the documents headless, their cells against report-rows.
#include "CliRun.h"
#include "ReportCliFixture.h"
#include "../reports/DocxReader.h"

#include <QFileInfo>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

TEST(ReportCli, DataTableCellsAreTheRowsOfReportRows)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("hourly.docx"));
    const QStringList items{QStringLiteral("--items"), QStringLiteral("0,1,7,12")};
    const CliRun r = Cli(f.root.path(), Args(QStringLiteral("hourly"), out, items + QStringList{"--no-breaks"}));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const CliRun rows = Cli(f.root.path(), RowsArgs(QStringLiteral("hourly"), items));
    ASSERT_EQ(rows.exitCode, 0);

    const DocxDocument d = ReadDocxFile(out);
    ASSERT_TRUE(d.valid) << d.error.toStdString();
    const QList<const DocxTable *> tables = d.Tables();
    ASSERT_GE(tables.size(), 2);
    EXPECT_EQ(tables[0]->rows[0].cells[0].Text(), QStringLiteral("Название потребителя: Котельная №3"));
    // Every line but the repeated header is one row, its cells in order.
    QStringList lines = rows.out.split(u'\n', Qt::SkipEmptyParts);
    lines.removeAt(1 + 24); // the second day's header, left out without page breaks
    const DocxTable &data = *tables[1];
    ASSERT_EQ(data.rows.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        QStringList cells = lines[i].split(u'\t');
        cells.removeLast();
        QStringList written;
        for (const DocxCell &c : data.rows[i].cells)
            written.append(c.Text());
        EXPECT_EQ(written, cells) << i;
    }
}

TEST(ReportCli, OverwriteRefusalsAndFailures)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("daily.docx"));
    QFile existing(out);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old");
    existing.close();

    // No terminal to ask on and no --yes: refused, the old file kept.
    CliRun r = Cli(f.root.path(), Args(QStringLiteral("daily"), out));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Bytes(out), QByteArray("old"));
    r = Cli(f.root.path(), Args(QStringLiteral("daily"), out, {QStringLiteral("--yes")}));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(ReadDocxFile(out).valid);

    const struct
    {
        const char *what;
        QStringList args;
        int exitCode;
        QString missingFile;
    } cases[] = {
        {"unknown meter",
         {QStringLiteral("report"), QStringLiteral("--serial"), QStringLiteral("7"), QStringLiteral("--kind"),
          QStringLiteral("daily"), QStringLiteral("--from"), QStringLiteral("2010-03-01"), QStringLiteral("--to"),
          QStringLiteral("2010-03-02"), QStringLiteral("--out"), f.Out(QStringLiteral("a.docx"))},
         1,
         f.Out(QStringLiteral("a.docx"))},
        {"refused period", Args(QStringLiteral("daily"), f.Out(QStringLiteral("b.docx"))).replaceInStrings(
                               QStringLiteral("2010-03-02"), QStringLiteral("2010-03-09")),
         1, f.Out(QStringLiteral("b.docx"))},
        {"missing folder", Args(QStringLiteral("daily"), f.Out(QStringLiteral("no/such/c.docx"))), 1,
         f.Out(QStringLiteral("no/such/c.docx"))},
        {"target is a folder", Args(QStringLiteral("daily"), f.root.path(), {QStringLiteral("--yes")}), 1, QString()},
        {"no --out", Args(QStringLiteral("daily"), QString()), 2, QString()},
        {"bad system", Args(QStringLiteral("daily"), f.Out(QStringLiteral("d.docx")), {"--system", "4"}), 2,
         f.Out(QStringLiteral("d.docx"))},
        {"bad --pdf-timeout",
         Args(QStringLiteral("daily"), f.Out(QStringLiteral("e.docx")),
              {"--pdf", f.Out(QStringLiteral("e.pdf")), "--pdf-timeout", "0"}),
         2, f.Out(QStringLiteral("e.docx"))},
    };
    for (const auto &c : cases) {
        const CliRun run = Cli(f.root.path(), c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << ": " << run.err.toStdString();
        EXPECT_FALSE(run.err.isEmpty()) << c.what;
        if (!c.missingFile.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(c.missingFile)) << c.what;
        }
    }
    // Nothing but the document itself was left in the data root.
    const QStringList left = QDir(f.root.path()).entryList(QStringList{QStringLiteral("*.docx*")}, QDir::Files);
    EXPECT_EQ(left, QStringList{QStringLiteral("daily.docx")});
}

// A name from the .doc days: the document is .docx, so it is written under that name, and said.
TEST(ReportCli, DocNameIsWrittenAsDocx)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("daily.doc"));
    const CliRun r = Cli(f.root.path(), Args(QStringLiteral("daily"), out));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out));
    EXPECT_TRUE(ReadDocxFile(out + u'x').valid);
    EXPECT_TRUE(r.out.contains(out + u'x')) << r.out.toStdString();
}
