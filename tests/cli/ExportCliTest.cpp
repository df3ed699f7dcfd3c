// qst-cli export, check and report-rows --out on a data root.
#include "CliRun.h"
#include "ReportCliFixture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

QStringList ExportArgs(const QString &kind, const QString &out, QStringList extra = {})
{
    return QStringList { QStringLiteral("export"), QStringLiteral("--serial"), QStringLiteral("100"),
        QStringLiteral("--kind"), kind, QStringLiteral("--from"), QStringLiteral("2010-03-01"), QStringLiteral("--to"),
        QStringLiteral("2010-03-02"), QStringLiteral("--out"), out }
    + extra;
}

} // namespace

TEST(ExportCli, ExportsTheArchivePageAsCsv)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("hours.csv"));
    CliRun r = Cli(f.root.path(), ExportArgs(QStringLiteral("hourly"), out));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString text = QString::fromUtf8(Bytes(out)).remove(QChar(0xFEFF));
    const QStringList lines = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    // The whole of 1 and 2 March: 48 hours under one header.
    ASSERT_EQ(lines.size(), 49);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Дата/время;Q (ГКал);М1 (тонн)")));
    EXPECT_EQ(lines[2].section(u';', 0, 1), QStringLiteral("01.03.2010 1:00:00;0,125"));
    EXPECT_EQ(lines[2].section(u';', 8, 8), QStringLiteral("24,5"));

    r = Cli(f.root.path(),
        ExportArgs(
            QStringLiteral("daily"), out, { "--csv-dialect", "plain", "--encoding", "windows-1251", "--system", "3" }));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(Bytes(out),
        QByteArray("\xC4\xE0\xF2\xE0/\xE2\xF0\xE5\xEC\xFF,V5 (\xEC^3),\xD2"
                   "5 (\xB0\xD1),"
                   "\xD0"
                   "5 (\xEA\xE3\xF1/\xF1\xEC^2),\xC2\xCD\xD0 (\xF7\xE0\xF1),"
                   "\xC2\xCD\xD1 (\xF7\xE0\xF1),\xCD\xD1"
                   "5\r\n"
                   "2010-03-01,0,0,0,0,0,0\r\n2010-03-02,0,0,0,0,0,0\r\n"));

    // A meter without files: the header only, and success.
    r = Cli(f.root.path(),
        { "export", "--serial", "9", "--kind", "journal", "--from", "2010-01-01", "--to", "2010-12-31", "--out", out });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(QString::fromUtf8(Bytes(out)).count(QStringLiteral("\r\n")), 1);
}

TEST(ExportCli, UnwritableTargetGivesTheReasonAndNoFile)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("no/such/folder/hours.xlsx"));
    const CliRun r = Cli(f.root.path(), ExportArgs(QStringLiteral("hourly"), out, { "--format", "xlsx" }));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("hours.xlsx"))) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(out));

    const struct
    {
        QStringList extra;
    } bad[] = { { { "--format", "ods" } }, { { "--csv-dialect", "german" } }, { { "--encoding", "koi8-r" } },
        { { "--system", "4" } } };
    for (const auto &b : bad)
        EXPECT_EQ(Cli(f.root.path(), ExportArgs(QStringLiteral("hourly"), f.Out("x.csv"), b.extra)).exitCode, 2)
            << b.extra.join(u' ').toStdString();
    EXPECT_EQ(Cli(f.root.path(), ExportArgs(QStringLiteral("weekly"), f.Out("x.csv"))).exitCode, 2);
}

TEST(ExportCli, CheckFindsTheDaysThatDoNotAddUp)
{
    ReportCliFixture f;
    // The fixture's hours give Q1 34.5 a day against a stored 3.
    CliRun r = Cli(f.root.path(), { "check", "--serial", "100", "--from", "2010-03-01", "--to", "2010-03-02" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains(QStringLiteral("01.03.2010\tQ1\t34,5\t3\t-31,5\t"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("02.03.2010\tQ1\t34,5\t3\t-31,5\t")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("Проверено суток: 2")));

    r = Cli(f.root.path(), { "check", "--serial", "9", "--from", "2010-03-01", "--to", "2010-03-02" });
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
}

TEST(ExportCli, ReportRowsWriteAsTable)
{
    ReportCliFixture f;
    const QString out = f.Out(QStringLiteral("rows.csv"));
    const CliRun r = Cli(f.root.path(), RowsArgs(QStringLiteral("daily"), { "--items", "0,1", "--out", out }));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const CliRun printed = Cli(f.root.path(), RowsArgs(QStringLiteral("daily"), { "--items", "0,1" }));
    const QStringList rows = printed.out.split(u'\n', Qt::SkipEmptyParts);
    const QStringList lines
        = QString::fromUtf8(Bytes(out)).remove(QChar(0xFEFF)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_FALSE(rows.isEmpty());
    ASSERT_EQ(lines.size(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        QStringList cells = rows[i].split(u'\t');
        cells.removeLast();
        EXPECT_EQ(lines[i], cells.join(u';'));
    }
}
