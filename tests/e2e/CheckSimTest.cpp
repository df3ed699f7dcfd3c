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
