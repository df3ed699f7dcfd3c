// Dumps written by qst-sim, loaded by the import and by qst-cli.
#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/ArchiveImport.h"
#include "support/TempDataRoot.h"

#include <QDirIterator>
#include <QProcess>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

bool Dump(const QStringList &args, const QString &file)
{
    QProcess p;
    p.start(QStringLiteral(QST_SIM_PATH), QStringList{QStringLiteral("dump")} + args + QStringList{file});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Lines of every file of a kind's folder, each checked to parse as the views read it.
enum LineKind { kArchiveLines, kHistoryLines, kJournalLines };

int CheckedLines(const QString &folder, LineKind kind)
{
    int count = 0;
    QDirIterator it(folder, QDir::Files);
    while (it.hasNext()) {
        for (const QString &line : LoadLines(it.next())) {
            ArchiveRecord a;
            CurrentHistoryRecord h;
            JARecord j;
            const bool parsed = kind == kArchiveLines   ? TryParseArchiveLine(line, &a)
                                : kind == kHistoryLines ? TryParseHistoryLine(line, &h)
                                                        : TryParseJournalLine(line, &j);
            EXPECT_TRUE(parsed) << line.toStdString();
            ++count;
        }
    }
    return count;
}

} // namespace

TEST(ImportSim, DumpsOfBothVersionsLoad)
{
    const struct
    {
        int version;
        int snapshot;
    } cases[] = {{1, 0}, {2, 1}, {2, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " snapshot " << c.snapshot);
        TempDataRoot root;
        const QString file = root.file(QStringLiteral("d.arch"));
        ASSERT_TRUE(Dump({"--version", QString::number(c.version), "--serial", "3101", "--days", "40", "--months",
                          "3", "--journal", "60", "--snapshot", QString::number(c.snapshot)},
                         file));
        ASSERT_EQ(ReadDumpSerial(file), 3101);
        Registry registry(TreeIniPath(root.path()));
        const StorageTarget target{root.path(), &registry};
        const ImportRunResult run = ImportArchiveFiles(target, {file}, {3101}, {});
        ASSERT_TRUE(run.completed) << run.error.toStdString();
        EXPECT_EQ(run.loaded, 1);

        EXPECT_EQ(CheckedLines(MeterFolderPath(root.path(), DataKind::Hourly, 3101), kArchiveLines), 40 * 24);
        EXPECT_EQ(CheckedLines(MeterFolderPath(root.path(), DataKind::Daily, 3101), kArchiveLines), 40);
        EXPECT_EQ(CheckedLines(MeterFolderPath(root.path(), DataKind::Monthly, 3101), kArchiveLines), 3);
        // History: the reading, plus one snapshot per day when the flag is set.
        EXPECT_EQ(CheckedLines(MeterFolderPath(root.path(), DataKind::History, 3101), kHistoryLines),
                  1 + (c.version == 2 && c.snapshot ? 40 : 0));
        // Skipped pages are not stored; the rest is.
        const int journal = CheckedLines(MeterFolderPath(root.path(), DataKind::Journal, 3101), kJournalLines);
        EXPECT_GT(journal, 50);
        EXPECT_LE(journal, 60);
        ProfileFile current(DataFilePath(root.path(), DataKind::CurrentValues, 3101));
        EXPECT_EQ(current.ReadString(kCurrDataSection, QStringLiteral("Version")),
                  c.version == 2 ? QStringLiteral("2") : QString());
        EXPECT_FALSE(registry.file().ReadString(MeterSection(1), reg::kLastH).isEmpty());
    }
}

TEST(ImportSim, CliLoadsAndRefuses)
{
    TempDataRoot root;
    const QString a = root.file(QStringLiteral("a.arch"));
    const QString b = root.file(QStringLiteral("b.arch"));
    ASSERT_TRUE(Dump({"--serial", "11", "--days", "2", "--journal", "5"}, a));
    ASSERT_TRUE(Dump({"--version", "1", "--serial", "12", "--days", "2", "--journal", "5"}, b));
    const auto cli = [&](const QStringList &args, const QByteArray &input, QString *out) {
        QProcess p;
        p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path(), QStringLiteral("import")} + args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(60000);
        *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    };
    QString out;
    // Without --yes it asks; "no" loads nothing.
    EXPECT_EQ(cli({a, b}, "n\n", &out), 1);
    EXPECT_TRUE(out.contains(QStringLiteral("Требуется подтверждение!\nВы собираетесь загрузить архивы для следующих "
                                            "приборов:\n11, 12\nПодтвердите!")))
        << out.toStdString();
    EXPECT_FALSE(QFile::exists(DataFilePath(root.path(), DataKind::CurrentValues, 11)));

    EXPECT_EQ(cli({a, b}, "да\n", &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Загрузка выполнена успешно."))) << out.toStdString();
    EXPECT_TRUE(QFile::exists(DataFilePath(root.path(), DataKind::CurrentValues, 12)));

    // A damaged file: the run stops with the error, exit 1.
    QFile cut(b);
    ASSERT_TRUE(cut.resize(cut.size() - 10));
    EXPECT_EQ(cli({"--yes", b, a}, {}, &out), 1);
    EXPECT_TRUE(out.contains(QStringLiteral("В процессе загрузки возникла ошибка \n"))) << out.toStdString();
}
