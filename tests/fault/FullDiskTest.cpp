// The data root on a small tmpfs filled to several levels: every writing command either
// completes or reports the system's "no space" reason with exit 1, and leaves every file
// either as it was or as a run on a roomy disk writes it; never cut, never a stray copy.
#include "FaultHarness.h"
#include "SimHarness.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace qst;
using namespace qst::test;

namespace {

// A tmpfs mounted for the test, unmounted with it.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &sizeOption)
    {
        if (!m_dir.isValid())
            return;
        const QByteArray options = "size=" + sizeOption.toLatin1() + ",mode=0755";
        if (::mount("qst-fault", QFile::encodeName(m_dir.path()).constData(), "tmpfs", 0, options.constData()) == 0)
            m_mounted = true;
        else
            m_reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.path(); }

    // Fills the disk, then frees `freeBytes` of it.
    void Fill(qint64 freeBytes)
    {
        const QByteArray filler = QFile::encodeName(m_dir.path() + QStringLiteral("/filler"));
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const QByteArray block(4096, 'f');
        qint64 size = 0;
        for (;;) {
            const ssize_t n = ::write(fd, block.constData(), size_t(block.size()));
            if (n <= 0)
                break;
            size += n;
        }
        ASSERT_EQ(::ftruncate(fd, std::max<qint64>(0, size - freeBytes)), 0);
        ::close(fd);
    }
    void Free() { QFile::remove(m_dir.path() + QStringLiteral("/filler")); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_reason;
};

const QString kNoSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));

struct Job
{
    const char *name;
    std::function<void(const QString &root)> prepare; // on a roomy disk
    QStringList args;
    // One save: each file must be the old or the new one. A job of many saves may also
    // leave a file between them, but never losing a line it held.
    bool oneSave = false;
    // Current values carry the moment of reading: compared by being whole, not by bytes.
    bool readsTheClock = false;
    // Documents and workbooks carry the moment they were made: a new one counts by being
    // whole (a complete zip or PDF), an old one by its bytes.
    bool documents = false;
};

bool IsDocument(const QString &name)
{
    return name.endsWith(QStringLiteral(".docx")) || name.endsWith(QStringLiteral(".xlsx"))
           || name.endsWith(QStringLiteral(".pdf"));
}

// A complete file of its kind: a zip with its closing directory, a PDF with its end mark.
bool WholeDocument(const QString &name, const QByteArray &bytes)
{
    if (name.endsWith(QStringLiteral(".pdf")))
        return bytes.startsWith("%PDF-") && bytes.trimmed().endsWith("%%EOF");
    const qsizetype end = bytes.lastIndexOf(QByteArray("PK\x05\x06", 4));
    return bytes.startsWith(QByteArray("PK\x03\x04", 4)) && end >= 0 && end >= bytes.size() - 22 - 0xFFFF
           && end + 22 <= bytes.size();
}

// The file as the job on a roomy disk leaves it: a document the job wrote anew counts by
// being whole, everything else by its bytes.
bool SameAsAfter(const Job &job, const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after,
                 const QString &name, const QByteArray &bytes)
{
    if (!after.contains(name))
        return false;
    if (job.documents && IsDocument(name) && after.value(name) != before.value(name))
        return WholeDocument(name, bytes);
    return after.value(name) == bytes;
}

bool CarriesTheClock(const QString &name)
{
    // Current values, their history, and the meters' health (times of the last answer).
    static const QRegularExpression current(QStringLiteral("^(DATA/(CV\\d+/.*|\\d+\\.dat)|Status\\.ini)$"));
    return current.match(name).hasMatch();
}

// A profile's content is its sections and their keys: a key that a cut run wrote first
// may stand earlier in its section than on the roomy disk, and readers do not care.
QMap<QString, QStringList> ProfileContent(const QByteArray &bytes)
{
    QMap<QString, QStringList> sections;
    QString section;
    for (const QString &line : SplitLines(bytes)) {
        if (line.startsWith(QLatin1Char('[')))
            section = line;
        else
            sections[section].append(line);
    }
    for (QStringList &keys : sections)
        keys.sort();
    return sections;
}

bool SameContent(const QString &name, const QByteArray &a, const QByteArray &b)
{
    if (name.endsWith(QStringLiteral(".ini")))
        return ProfileContent(a) == ProfileContent(b);
    return a == b;
}

// Runs a job at each fill level on the small disk and compares with the roomy reference.
void RunAtFillLevels(const Job &job, const QList<qint64> &levels, int *scenarios)
{
    SCOPED_TRACE(job.name);
    QTemporaryDir roomy;
    const QString reference = roomy.filePath(QStringLiteral("root"));
    job.prepare(reference);
    const QMap<QString, QByteArray> before = Snapshot(reference);
    const auto argsFor = [&](const QString &root) {
        QStringList args = job.args;
        return args.replaceInStrings(QStringLiteral("{root}"), root);
    };
    const CliRun clean = RunCli(reference, argsFor(reference), 180000);
    ASSERT_EQ(clean.exitCode, 0) << clean.out.toStdString() << clean.err.toStdString();
    const QMap<QString, QByteArray> after = Snapshot(reference);

    for (qint64 level : levels) {
        SCOPED_TRACE(testing::Message() << level << " bytes free");
        SmallDisk disk(QStringLiteral("4m"));
        if (!disk.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here (" << disk.reason().toStdString() << "); run as root";
        const QString root = disk.path() + QStringLiteral("/root");
        job.prepare(root);
        ASSERT_EQ(Snapshot(root), before);
        disk.Fill(level);
        const CliRun run = RunCli(root, argsFor(root), 180000);
        ++*scenarios;
        EXPECT_FALSE(run.crashed || run.hung);
        if (run.exitCode != 0) {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE((run.out + run.err).contains(kNoSpace)) << run.out.toStdString() << run.err.toStdString();
            EXPECT_FALSE(run.out.contains(QStringLiteral("Загрузка выполнена успешно")));
        }
        if (level == 0) {
            EXPECT_NE(run.exitCode, 0) << "a full disk reported as success";
        }
        const QMap<QString, QByteArray> got = Snapshot(root);
        for (auto it = got.cbegin(); it != got.cend() && job.oneSave; ++it) {
            const QString &name = it.key();
            const bool asBefore = before.contains(name) && before.value(name) == it.value();
            const bool asAfter = SameAsAfter(job, before, after, name, it.value());
            EXPECT_TRUE(asBefore || asAfter) << name.toStdString() << " is neither the old nor the new file";
        }
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            ASSERT_TRUE(got.contains(it.key())) << it.key().toStdString() << " lost";
            // Exports and documents are replaced whole, never merged: checked above.
            if (it.key().startsWith(QStringLiteral("out/")))
                continue;
            const QStringList now = SplitLines(got.value(it.key()));
            for (const QString &line : SplitLines(it.value())) {
                // Only the registry's last-read marks move forward in place.
                if (!line.startsWith(QStringLiteral("Last"))) {
                    EXPECT_TRUE(now.contains(line)) << it.key().toStdString() << " lost " << line.toStdString();
                }
            }
        }
        EXPECT_EQ(TreeProblems(root), QStringList());
        EXPECT_EQ(DamagedDataFiles(root), QStringList());
        EXPECT_EQ(LeftoverTemporaries(root), QStringList());

        // With room again, the same job ends as on the roomy disk: no cut line lives on.
        disk.Free();
        const CliRun retry = RunCli(root, argsFor(root), 180000);
        EXPECT_EQ(retry.exitCode, 0) << retry.out.toStdString() << retry.err.toStdString();
        const QMap<QString, QByteArray> final = Snapshot(root);
        EXPECT_EQ(final.keys(), after.keys());
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            if (job.documents && IsDocument(it.key())) {
                EXPECT_TRUE(SameAsAfter(job, before, after, it.key(), final.value(it.key()))) << it.key().toStdString();
            } else if (!(job.readsTheClock && CarriesTheClock(it.key()))) {
                EXPECT_TRUE(SameContent(it.key(), final.value(it.key()), it.value())) << it.key().toStdString();
            }
        }
    }
}

void Registered(const QString &root)
{
    ASSERT_EQ(RunCli(root, {"meter", "add", "--name", "Школа", "--serial", "5300", "--address", "1", "--port", "4"})
                  .exitCode,
              0);
    ASSERT_EQ(RunCli(root, {"port", "set", "1", "/dev/ttyS9"}).exitCode, 0);
}

} // namespace

TEST(FullDisk, RegistryCommandsReportNoSpaceAndKeepTreeIni)
{
    int scenarios = 0;
    const QList<qint64> levels = {0, 100, 2000};
    RunAtFillLevels({"port set", Registered, {"port", "set", "2", "/dev/ttyUSB0"}, true}, levels, &scenarios);
    RunAtFillLevels({"meter add", Registered,
                     {"meter", "add", "--name", "Баня", "--serial", "5301", "--address", "2", "--port", "4"},
                     true},
                    levels, &scenarios);
    std::printf("[ fault    ] full disk, registry: %d scenarios\n", scenarios);
}

TEST(FullDisk, ImportReportsWhatCouldNotBeStored)
{
    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("d.arch"));
    ASSERT_TRUE(MakeDump(dump, 5300, 40, 120));
    int scenarios = 0;
    // Levels from nothing to most of what the import writes (about 0.4 MB).
    RunAtFillLevels({"import", Registered, {"import", "--yes", dump}}, {0, 3000, 30000, 40000, 200000}, &scenarios);
    std::printf("[ fault    ] full disk, import: %d scenarios\n", scenarios);
}

TEST(FullDisk, PollReportsNoSpaceAndKeepsNoCutLine)
{
    SimProcess sim({"--calc", "2", "--serial", "5300", "--baud", "19200", "--latency-ms", "0", "--journal-slots", "30",
                    "--seed", "3"});
    ASSERT_TRUE(sim.started());
    const QDateTime now = QDateTime::currentDateTime();
    const auto prepare = [&](const QString &root) {
        Registered(root);
        ASSERT_EQ(RunCli(root, {"port", "set", "4", sim.path()}).exitCode, 0);
    };
    int scenarios = 0;
    RunAtFillLevels({"poll", prepare,
                     {"poll", "--serial", "5300", "--hourly", now.addSecs(-2 * 3600).toString(Qt::ISODate),
                      now.toString(Qt::ISODate), "--journal", "5", "--timeout", "120"},
                     false, true},
                    {0, 1500}, &scenarios);
    std::printf("[ fault    ] full disk, poll: %d scenarios\n", scenarios);
}

namespace {

// Copies a folder's files and subfolders.
void CopyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    const QDir base(from);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + u'/' + base.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            QDir().mkpath(target);
        } else if (it.fileName() != QStringLiteral(".qst-archiver.lock")) {
            ASSERT_TRUE(QFile::copy(path, target)) << target.toStdString();
        }
    }
}

// A meter with six days of records, and an earlier export and documents in out/ that a
// failed write must leave byte for byte.
class WritersOnAFullDisk : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_template = new QTemporaryDir;
        const QString dump = s_template->filePath(QStringLiteral("d.arch"));
        ASSERT_TRUE(MakeDump(dump, 5300, 6, 20));
        ASSERT_EQ(RunCli(s_template->filePath(QStringLiteral("root")), {"import", "--yes", dump}).exitCode, 0);
    }
    static void TearDownTestSuite()
    {
        delete s_template;
        s_template = nullptr;
    }
    static void Prepare(const QString &root)
    {
        CopyTree(s_template->filePath(QStringLiteral("root")), root);
        QDir().mkpath(root + QStringLiteral("/out"));
        for (const char *name : {"hours.csv", "hours.xlsx", "rows.csv", "daily.docx", "daily.pdf", "5300.docx"})
            WriteAll(root + QStringLiteral("/out/") + QLatin1String(name), QByteArray("an earlier file, kept\r\n"));
    }
    static QStringList Period(const char *kind)
    {
        const QDate today = QDate::currentDate();
        return {"--serial", "5300", "--kind", kind, "--system", "1", "--from",
                today.addDays(-4).toString(Qt::ISODate), "--to", today.addDays(-3).toString(Qt::ISODate)};
    }

    static QTemporaryDir *s_template;
};

QTemporaryDir *WritersOnAFullDisk::s_template = nullptr;

} // namespace

TEST_F(WritersOnAFullDisk, ExportsReportNoSpaceAndKeepTheOldFile)
{
    int scenarios = 0;
    const QList<qint64> levels = {0, 8192};
    RunAtFillLevels({"export csv", Prepare, QStringList{"export"} + Period("hourly") + QStringList{"--out", "{root}/out/hours.csv"}, true},
                    levels, &scenarios);
    RunAtFillLevels({"export xlsx", Prepare,
                     QStringList{"export"} + Period("hourly") + QStringList{"--format", "xlsx", "--out", "{root}/out/hours.xlsx"},
                     true, false, true},
                    levels, &scenarios);
    RunAtFillLevels({"report-rows --out", Prepare,
                     QStringList{"report-rows"} + Period("hourly") + QStringList{"--out", "{root}/out/rows.csv"}, true},
                    levels, &scenarios);
    std::printf("[ fault    ] full disk, exports: %d scenarios\n", scenarios);
}

TEST_F(WritersOnAFullDisk, DocumentsReportNoSpaceAndKeepTheOldFile)
{
    int scenarios = 0;
    RunAtFillLevels({"report .docx", Prepare,
                     QStringList{"report"} + Period("daily") + QStringList{"--yes", "--out", "{root}/out/daily.docx"},
                     true, false, true},
                    {0, 8192}, &scenarios);
    RunAtFillLevels({"report --group", Prepare,
                     QStringList{"report", "--group", "0", "--out-dir", "{root}/out", "--name", "{serial}.docx", "--yes"}
                         + Period("daily").mid(2),
                     true, false, true},
                    {0, 8192}, &scenarios);
    // The document on a roomy disk, its PDF on the full one: the old PDF stays.
    QTemporaryDir documents;
    RunAtFillLevels({"report --pdf", Prepare,
                     QStringList{"report"} + Period("daily")
                         + QStringList{"--yes", "--out", documents.filePath(QStringLiteral("daily.docx")), "--pdf",
                                       "{root}/out/daily.pdf"},
                     true, false, true},
                    {0}, &scenarios);
    std::printf("[ fault    ] full disk, documents: %d scenarios\n", scenarios);
}
