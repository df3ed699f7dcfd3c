// The simulator's archive, loaded from its dump, adds up; one altered hour does not.
#include "common/DataRoot.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "reports/ArchiveCheck.h"
#include "support/TempDataRoot.h"

#include <QDirIterator>
#include <QProcess>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

int RunProgram(const QString &program, const QStringList &args, QString *out = nullptr)
{
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    p.waitForFinished(120000);
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

TEST(CheckSim, SimulatorMonthsAddUpAndAnAlteredHourIsFound)
{
    for (const char *version : { "2", "1" }) {
        SCOPED_TRACE(version);
        TempDataRoot root;
        const QString dump = root.file(QStringLiteral("d.arch"));
        ASSERT_EQ(RunProgram(QStringLiteral(QST_SIM_PATH),
                      { "dump", "--version", version, "--serial", "3101", "--days", "70", "--journal", "5", dump }),
            0);
        QString out;
        ASSERT_EQ(RunProgram(QStringLiteral(QST_CLI), { "--data-dir", root.path(), "import", "--yes", dump }, &out), 0)
            << out.toStdString();

        const QDate today = QDate::currentDate();
        const QString from = today.addDays(-80).toString(Qt::ISODate);
        const QString to = today.toString(Qt::ISODate);
        const CheckResult clean = CheckArchive(root.path(), QStringLiteral("3101"), today.addDays(-80), today);
        EXPECT_TRUE(clean.differences.isEmpty()) << CheckSummary(clean).toStdString();
        EXPECT_GE(clean.daysChecked, 60);
        EXPECT_GE(clean.monthsChecked, 1);
        // Only the second version's daily snapshots give readings at whole hours.
        EXPECT_EQ(clean.integratorsChecked, QLatin1String(version) == QLatin1String("2"));
        EXPECT_EQ(RunProgram(QStringLiteral(QST_CLI),
                      { "--data-dir", root.path(), "check", "--serial", "3101", "--from", from, "--to", to }, &out),
            0)
            << out.toStdString();

        // The history exports one row per stored reading.
        const QString csv = root.file(QStringLiteral("history.csv"));
        ASSERT_EQ(RunProgram(QStringLiteral(QST_CLI), {"--data-dir", root.path(), "export", "--serial", "3101",
                                                       "--kind", "current-history", "--from", from, "--to", to,
                                                       "--out", csv}),
                  0);
        int readings = 0;
        QDirIterator history(MeterFolderPath(root.path(), DataKind::History, 3101), QDir::Files);
        while (history.hasNext())
            readings += int(LoadLines(history.next()).size());
        EXPECT_EQ(QString::fromUtf8(ReadAll(csv)).count(QStringLiteral("\r\n")), 1 + readings);

        // Q1 of 13:00 twenty days ago grows by one Gcal.
        const QDate day = today.addDays(-20);
        const QString file = DataFilePath(root.path(), DataKind::Hourly, 3101, day.year(), day.month());
        QStringList lines = LoadLines(file);
        const QString stamp = DateTimeText(QDateTime(day, QTime(13, 0)));
        bool altered = false;
        for (QString &line : lines) {
            QStringList fields = line.split(u'\t');
            if (DateTimeText(ParseReal(fields[0])) != stamp)
                continue;
            fields[1] = FormatReal(ParseReal(fields[1]) + 1);
            line = fields.join(u'\t');
            altered = true;
        }
        ASSERT_TRUE(altered);
        SaveLines(file, lines);
        EXPECT_EQ(RunProgram(QStringLiteral(QST_CLI),
                      { "--data-dir", root.path(), "check", "--serial", "3101", "--from", from, "--to", to }, &out),
            1);
        EXPECT_TRUE(out.contains(DateText(day) + QStringLiteral("\tQ1\t"))) << out.toStdString();
        const CheckResult found = CheckArchive(root.path(), QStringLiteral("3101"), today.addDays(-80), today);
        ASSERT_FALSE(found.differences.isEmpty());
        EXPECT_EQ(found.differences[0].scope, CheckScope::HoursInDay);
        EXPECT_NEAR(found.differences[0].expected - found.differences[0].stored, 1, 1e-3);
        // The day's error carries into nothing else but the totals (second version).
        for (const CheckDifference &d : found.differences.mid(1))
            EXPECT_EQ(d.scope, CheckScope::Integrators) << d.quantity.toStdString();
    }
}

// The monthly protocol sums whole months; its integrators, read from the second version's daily
// snapshots, measure the same months, up to the last day of the newest stored month.
TEST(CheckSim, MonthlyProtocolAgreesWithItsIntegrators)
{
    TempDataRoot root;
    const QString dump = root.file(QStringLiteral("d.arch"));
    ASSERT_EQ(RunProgram(QStringLiteral(QST_SIM_PATH),
                  { "dump", "--version", "2", "--serial", "3101", "--days", "120", "--months", "4", "--journal", "0",
                      dump }),
        0);
    QString out;
    ASSERT_EQ(RunProgram(QStringLiteral(QST_CLI), { "--data-dir", root.path(), "import", "--yes", dump }, &out), 0)
        << out.toStdString();

    // The simulator stores complete months only: the newest is the one before this.
    const QDate today = QDate::currentDate();
    const QDate newestMonth = QDate(today.year(), today.month(), 1).addMonths(-1);
    const QString from = newestMonth.addMonths(-2).toString(Qt::ISODate);
    const QString to = newestMonth.addMonths(1).addDays(-1).toString(Qt::ISODate);
    const QStringList args = { "--data-dir", root.path(), "report-rows", "--serial", "3101", "--kind", "monthly",
        "--system", "1", "--from", from, "--to", to, "--items", "0,1" };
    ASSERT_EQ(RunProgram(QStringLiteral(QST_CLI), args, &out), 0) << out.toStdString();
    const QStringList rows = out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 1 + 3 + 2) << out.toStdString();
    const QStringList total = rows[4].split(u'\t');
    ASSERT_EQ(total.value(0), QStringLiteral("Итого"));

    ASSERT_EQ(RunProgram(QStringLiteral(QST_CLI), args + QStringList{ "--integrators" }, &out), 0) << out.toStdString();
    const QStringList readings = out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(readings.size(), 4);
    const QStringList result = readings[3].split(u'\t');
    ASSERT_EQ(result.value(0), QStringLiteral("Итого:"));
    EXPECT_NEAR(ParseReal(result[1]), ParseReal(total[1]), 0.01) << "Q";
    EXPECT_NEAR(ParseReal(result[2]), ParseReal(total[2]), 0.01) << "M1";

    // The month after the newest is not stored: an end date in it is refused.
    EXPECT_EQ(RunProgram(QStringLiteral(QST_CLI),
                  { "--data-dir", root.path(), "report-rows", "--serial", "3101", "--kind", "monthly", "--system", "1",
                      "--from", from, "--to", newestMonth.addMonths(1).toString(Qt::ISODate) }),
        1);
}
