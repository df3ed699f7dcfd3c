#include "CliRun.h"
#include "ReportCliFixture.h"

#include "common/DataRootLock.h"
#include "registry/Registry.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

TEST(ReportRowsCli, PrintsTheRowsAsBuilt)
{
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 3, 1), 1.5f, 5.5f, 5.2f});
    f.Put(kDailyArchive, {At(2010, 3, 2), 2.f, 5.f, 5.f});
    const CliRun r = Cli(f.root.path(), {QStringLiteral("report-rows"), QStringLiteral("--serial"), QStringLiteral("100"),
                                      QStringLiteral("--kind"), QStringLiteral("daily"), QStringLiteral("--system"),
                                      QStringLiteral("1"), QStringLiteral("--from"), QStringLiteral("2010-03-01"),
                                      QStringLiteral("--to"), QStringLiteral("2010-03-02"), QStringLiteral("--items"),
                                      QStringLiteral("0,3")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Дата\tQ ГКал\t+(M1-М2) тонн\t-(M1-М2) тонн\t\n"
                                    "01.03.2010\t1,50\t0,300\t---\t0 0\n"
                                    "02.03.2010\t2,00\t---\t---\t0 0\n"
                                    "Итого\t3,50\t0,300\t0,000\t\n"
                                    "Среднее\t\t\t\t\n"));

    const CliRun integrators = Cli(f.root.path(), {QStringLiteral("report-rows"), QStringLiteral("--serial"),
                                                QStringLiteral("100"), QStringLiteral("--kind"), QStringLiteral("daily"),
                                                QStringLiteral("--system"), QStringLiteral("1"), QStringLiteral("--from"),
                                                QStringLiteral("2010-03-01"), QStringLiteral("--to"),
                                                QStringLiteral("2010-03-02"), QStringLiteral("--integrators")});
    EXPECT_EQ(integrators.exitCode, 0);
    EXPECT_TRUE(integrators.out.contains(QStringLiteral("Нарастающий итог:\t3,5\t10,5\t10,2\t0\t0\t0\t0\t")))
        << integrators.out.toStdString();
}

TEST(ReportRowsCli, StatementUsesTheMetersLimits)
{
    ReportFixture f;
    Registry registry(TreeIniPath(f.root.path()));
    const int meter = registry.IssueMeterNumber();
    registry.file().WriteString(MeterSection(meter), reg::kSerial, QStringLiteral("100"));
    registry.file().WriteString(MeterSection(meter), reg::kDU, QStringLiteral("50")); // Gmin 0.3
    f.Put(kDailyArchive, {At(2010, 3, 1), 1, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0});
    for (int h = 0; h < 24; ++h)
        f.Put(kHourlyArchive, {At(2010, 3, 1, h), 0, 0, 0, h < 3 ? 0.25f : 1.f});
    const CliRun r = Cli(f.root.path(), {QStringLiteral("report-rows"), QStringLiteral("--serial"), QStringLiteral("100"),
                                      QStringLiteral("--system"), QStringLiteral("1"), QStringLiteral("--from"),
                                      QStringLiteral("2010-03-01"), QStringLiteral("--to"), QStringLiteral("2010-03-01"),
                                      QStringLiteral("--statement")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(u'\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("01.03.2010\t1,00\t")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\t21,00\t3,00\t0 0"))) << lines[1].toStdString();

    // The statement's integrator table as the document shows it: its hours are the table's.
    const CliRun readings = Cli(f.root.path(), {QStringLiteral("report-rows"), QStringLiteral("--serial"),
                                             QStringLiteral("100"), QStringLiteral("--system"), QStringLiteral("1"),
                                             QStringLiteral("--from"), QStringLiteral("2010-03-01"),
                                             QStringLiteral("--to"), QStringLiteral("2010-03-01"),
                                             QStringLiteral("--statement"), QStringLiteral("--integrators")});
    EXPECT_EQ(readings.exitCode, 0) << readings.err.toStdString();
    const QStringList readingLines = readings.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(readingLines.size(), 6) << readings.out.toStdString();
    EXPECT_EQ(readingLines[1], QStringLiteral("Тепловая энегрия, ГКал\t0\t1\t1\t"));
    EXPECT_EQ(readingLines[4], QStringLiteral("Время нормальной работы Траб, ч\t0\t21\t21\t"));
    EXPECT_EQ(readingLines[5], QStringLiteral("Время неработы Тmax + Тmin + Тdt + Т ош, ч\t0\t3\t3\t"));
}

TEST(ReportRowsCli, RefusedPeriodAndBadArguments)
{
    ReportFixture f;
    const CliRun refused = Cli(f.root.path(), {QStringLiteral("report-rows"), QStringLiteral("--serial"),
                                            QStringLiteral("100"), QStringLiteral("--kind"), QStringLiteral("daily"),
                                            QStringLiteral("--system"), QStringLiteral("1"), QStringLiteral("--from"),
                                            QStringLiteral("2010-03-01"), QStringLiteral("--to"),
                                            QStringLiteral("2010-03-02")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err.trimmed(), QStringLiteral("В архиве прибора нет данных для отчета!"));
    EXPECT_TRUE(refused.out.isEmpty());

    for (const QStringList &bad : {QStringList{QStringLiteral("report-rows"), QStringLiteral("--serial"),
                                               QStringLiteral("70000")},
                                   QStringList{QStringLiteral("no-such-command")}}) {
        EXPECT_EQ(Cli(f.root.path(), bad).exitCode, 2) << bad.join(u' ').toStdString();
    }
}

TEST(CliUsage, BadCommandLinesWriteNothing)
{
    TempDataRoot root;
    QDir(root.path()).rmdir(QStringLiteral("DATA"));
    const QStringList cases[] = {
        {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("x"),
         QStringLiteral("--serial"), QStringLiteral("12a"), QStringLiteral("--address"), QStringLiteral("1"),
         QStringLiteral("--port"), QStringLiteral("1")},
        {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("x"),
         QStringLiteral("--serial"), QStringLiteral("12"), QStringLiteral("--address"), QStringLiteral("1"),
         QStringLiteral("--port"), QStringLiteral("33")},
        {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--bogus")},
        {QStringLiteral("poll"), QStringLiteral("--serial"), QStringLiteral("12"), QStringLiteral("--hourly"),
         QStringLiteral("yesterday"), QStringLiteral("today")},
        {QStringLiteral("poll"), QStringLiteral("--serial"), QStringLiteral("12"), QStringLiteral("--current")},
        {QStringLiteral("poll"), QStringLiteral("--what")},
        {QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("99"), QStringLiteral("/dev/x")},
        {QStringLiteral("--verbose"), QStringLiteral("meter"), QStringLiteral("list")},
    };
    for (const QStringList &args : cases) {
        const CliRun r = Cli(root.path(), args);
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_FALSE(r.err.trimmed().isEmpty()) << args.join(u' ').toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(TreeIniPath(root.path())));
    EXPECT_FALSE(QFileInfo::exists(DataFolderPath(root.path())));
}

TEST(CliUsage, WritingCommandsShareTheDataRootLock)
{
    TempDataRoot root;
    DataRootLock held(root.path());
    QString error;
    ASSERT_TRUE(held.TryLock(&error));
    const CliRun r = Cli(root.path(), {QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("1"),
                                       QStringLiteral("/dev/ttyUSB0")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("уже используется"))) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(TreeIniPath(root.path())));
    held.Unlock();
    EXPECT_EQ(Cli(root.path(), {QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("1"),
                                QStringLiteral("/dev/ttyUSB0")})
                  .exitCode,
              0);
    EXPECT_EQ(Cli(root.path(), {QStringLiteral("meter"), QStringLiteral("list")}).exitCode, 0);
}

// What other programs read from standard output stays parseable, and a period the calendar
// cannot hold is refused rather than answered with nothing.
TEST(CliOutput, ListingsStayParseable)
{
    ReportCliFixture f;
    {
        Registry registry(TreeIniPath(f.root.path()));
        registry.file().WriteString(MeterSection(1), reg::kName, QStringLiteral("a\tb\x01" "c\\d"));
    }
    CliRun r = Cli(f.root.path(), {"meter", "list"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    const QStringList fields = lines[1].split(u'\t');
    ASSERT_EQ(fields.size(), lines[0].split(u'\t').size()) << lines[1].toStdString();
    EXPECT_EQ(fields[2], QStringLiteral("a\\tb\\x01c\\\\d"));

    for (const QStringList &args : {QStringList{"status", "--json", "--check"}, QStringList{"status", "--check", "--json"}}) {
        r = Cli(f.root.path(), args);
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(r.out.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
        EXPECT_TRUE(json.isArray());
        EXPECT_GE(r.exitCode, 0);
        EXPECT_LE(r.exitCode, 2);
    }

    for (const QStringList &args : {QStringList{"--from", "1899-12-29"}, QStringList{"--from", "1800-01-01", "--to", "1899-12-01"}}) {
        r = Cli(f.root.path(), QStringList{"gaps", "--serial", "100", "--kind", "daily"} + args);
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("1899-12-30"))) << r.err.toStdString();
    }
    r = Cli(f.root.path(), {"gaps", "--serial", "100", "--kind", "daily", "--from", "1899-12-30", "--to", "1900-01-02"});
    EXPECT_EQ(r.exitCode, 0) << "the calendar's first day is a day like any other: " << r.err.toStdString();
}

// An existing PDF is replaced only as the document is: with --yes (or a yes on the terminal).
TEST(CliOutput, ExistingPdfIsKeptWithoutYes)
{
    ReportCliFixture f;
    const QString pdf = f.Out(QStringLiteral("daily.pdf"));
    WriteAll(pdf, "%PDF-old");
    const CliRun r = Cli(f.root.path(), Args(QStringLiteral("daily"), f.Out(QStringLiteral("daily.docx")),
                                             {QStringLiteral("--pdf"), pdf}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("--yes")) && r.err.contains(QStringLiteral("daily.pdf")))
        << r.err.toStdString();
    EXPECT_EQ(Bytes(pdf), QByteArray("%PDF-old"));
    EXPECT_FALSE(QFile::exists(f.Out(QStringLiteral("daily.docx")))) << "asked before anything is written";
}
