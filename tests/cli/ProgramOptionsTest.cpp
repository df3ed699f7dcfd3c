// The command-line manners of the three programs, and qst-cli run on a data root it cannot write.
#include "support/TempDataRoot.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using qst::test::TempDataRoot;

namespace {

struct ProgramRun
{
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
    qint64 ms = 0;
};

ProgramRun Start(const QString &program, const QStringList &args, const QStringList &prefix = {})
{
    QProcess p;
    // --help, --version and usage errors must not need a display.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    if (prefix.isEmpty())
        p.start(program, args);
    else
        p.start(prefix.first(), prefix.mid(1) + QStringList{program} + args);
    ProgramRun r;
    r.finished = p.waitForFinished(20000);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.ms = timer.elapsed();
    r.exitCode = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

struct Program
{
    const char *name;
    const char *path;
};

const Program kPrograms[] = {
#ifdef QST_ARCHIVER
    {"qst-archiver", QST_ARCHIVER},
#endif
    {"qst-cli", QST_CLI},
#ifdef QST_SIM
    {"qst-sim", QST_SIM},
#endif
};

} // namespace

TEST(ProgramOptions, VersionHelpAndUsageErrors)
{
    for (const Program &program : kPrograms) {
        SCOPED_TRACE(program.name);
        const QString path = QString::fromUtf8(program.path);

        const ProgramRun version = Start(path, {QStringLiteral("--version")});
        EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
        EXPECT_EQ(version.out, QStringLiteral("%1 %2\n").arg(QLatin1String(program.name), QStringLiteral(QST_VERSION_TEXT)));

        const ProgramRun help = Start(path, {QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: "))) << help.out.toStdString();
        EXPECT_TRUE(help.out.contains(QStringLiteral("--version")));

        // An unknown option and a missing value: exit 2 and one line that points at --help.
        for (const QStringList &bad : {QStringList{QStringLiteral("--no-such-option")},
                                       QStringList{QStringLiteral("--data-dir")}}) {
            if (QLatin1String(program.name) == QLatin1String("qst-sim") && bad.first() == QStringLiteral("--data-dir"))
                continue; // qst-sim has no data root
            const ProgramRun r = Start(path, bad);
            EXPECT_EQ(r.exitCode, 2) << bad.join(u' ').toStdString();
            EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
            EXPECT_EQ(r.err.count(u'\n'), 1) << r.err.toStdString();
            EXPECT_TRUE(r.err.contains(QStringLiteral("--help"))) << r.err.toStdString();
        }
    }
}

TEST(ProgramOptions, CliTakesDataDirAfterTheCommandWord)
{
    TempDataRoot root;
    const QString cli = QStringLiteral(QST_CLI);
    const ProgramRun add = Start(cli, {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"),
                                QStringLiteral("Boiler"), QStringLiteral("--serial"), QStringLiteral("4242"),
                                QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--port"),
                                QStringLiteral("1"), QStringLiteral("--data-dir"), root.path()});
    ASSERT_EQ(add.exitCode, 0) << add.err.toStdString();
    const ProgramRun list = Start(cli, {QStringLiteral("--data-dir=") + root.path(), QStringLiteral("meter"), QStringLiteral("list")});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(list.out.contains(QStringLiteral("4242"))) << list.out.toStdString();
}

// The service's start on a data root it cannot write: a message and exit 1 at once, not a loop.
TEST(ServiceStart, DataRootItCannotWriteEndsWithExit1)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // Tests often run as root, who may write anywhere: a folder under a regular file cannot exist for anyone.
    const QString plainFile = scratch.filePath(QStringLiteral("plain"));
    qst::test::WriteAll(plainFile, "x");
    const ProgramRun underFile = Start(QStringLiteral(QST_CLI), {QStringLiteral("run"), QStringLiteral("--data-dir"),
                                                         plainFile + QStringLiteral("/root")});
    ASSERT_TRUE(underFile.finished);
    EXPECT_EQ(underFile.exitCode, 1);
    EXPECT_TRUE(underFile.err.contains(plainFile + QStringLiteral("/root"))) << underFile.err.toStdString();
    EXPECT_FALSE(underFile.out.contains(QStringLiteral("polling by schedule")));
    EXPECT_LT(underFile.ms, 10000);

    // A data root owned by someone else (as the service's qst user meets one made by root),
    // and one whose Tree.ini is not writable: real permissions, so as an unprivileged user
    // (setpriv drops root's rights when the test runs as root).
    const QStringList prefix = ::geteuid() == 0
                                   ? QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                                 QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")}
                                   : QStringList{};
    QTemporaryDir other(QStringLiteral("/tmp/qst-foreign-XXXXXX"));
    ASSERT_TRUE(other.isValid());
    QFile::setPermissions(other.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                            QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QString foreignRoot = other.filePath(QStringLiteral("root"));
    QDir().mkpath(foreignRoot + QStringLiteral("/DATA"));
    qst::test::WriteAll(foreignRoot + QStringLiteral("/Tree.ini"), "[TREE]\r\n");
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    const QFile::Permissions open = readOnly | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    const QFile::Permissions folder = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    struct Case
    {
        const char *what;
        QFile::Permissions root, tree;
    };
    const Case cases[] = {
        {"root folder not writable", readOnly | folder, open},
        {"Tree.ini not writable", open | folder, readOnly},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::setPermissions(foreignRoot, c.root);
        QFile::setPermissions(foreignRoot + QStringLiteral("/DATA"), open | folder);
        QFile::setPermissions(foreignRoot + QStringLiteral("/Tree.ini"), c.tree);
        const ProgramRun r = Start(QStringLiteral(QST_CLI), {QStringLiteral("--data-dir"), foreignRoot, QStringLiteral("run")},
                            prefix);
        ASSERT_TRUE(r.finished) << "still running: " << r.out.toStdString();
        EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
        EXPECT_FALSE(r.err.trimmed().isEmpty());
        EXPECT_FALSE(r.out.contains(QStringLiteral("polling by schedule")));
        EXPECT_FALSE(QFile::exists(foreignRoot + QStringLiteral("/.qst-archiver.lock")));
    }
    QFile::setPermissions(foreignRoot, open | folder);
}
