#include "FaultHarness.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>

#include <csignal>

namespace qst::test {

CliRun RunCli(const QString &dataRoot, const QStringList &args, int timeoutMs)
{
    CliRun run;
    QProcess p;
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), dataRoot} + args);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        run.hung = true;
        p.kill();
        p.waitForFinished(10000);
    }
    run.crashed = !run.hung && p.exitStatus() != QProcess::NormalExit;
    run.exitCode = p.exitCode();
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

bool RunCliKilled(const QString &dataRoot, const QStringList &args, int killAfterMs)
{
    QProcess p;
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), dataRoot} + args);
    p.closeWriteChannel();
    if (!p.waitForStarted(10000))
        return false;
    const bool ended = p.waitForFinished(killAfterMs);
    if (!ended)
        ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    p.waitForFinished(10000);
    return !ended;
}

QMap<QString, QByteArray> Snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName() == QStringLiteral(".qst-archiver.lock"))
            continue;
        files.insert(base.relativeFilePath(path), ReadFileBytes(path));
    }
    return files;
}

QStringList DamagedDataFiles(const QString &dataRoot)
{
    QStringList problems;
    const QString data = DataFolderPath(dataRoot);
    QDirIterator it(data, QDir::Files, QDirIterator::Subdirectories);
    static const QRegularExpression currentName(QStringLiteral("^\\d+\\.dat$"));
    while (it.hasNext()) {
        const QString path = it.next();
        // A copy cut short by the kill is no data file: readers never open it, and the next
        // writer removes it (LeftoverTemporaries checks that).
        if (!path.endsWith(QStringLiteral(".dat")))
            continue;
        const QString folder = it.fileInfo().dir().dirName();
        if (folder == QStringLiteral("DATA")) {
            if (!currentName.match(it.fileName()).hasMatch())
                continue;
            ProfileFile file(path);
            double t = 0;
            if (!TryParseReal(file.ReadString(QStringLiteral("CURRDATA"), QStringLiteral("DTFloat")), &t) || t <= 0)
                problems.append(path + QStringLiteral(": no DTFloat"));
            continue;
        }
        const QByteArray bytes = ReadFileBytes(path);
        if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
            problems.append(path + QStringLiteral(": cut in a line"));
        for (const QString &line : SplitLines(bytes)) {
            ArchiveRecord a;
            CurrentHistoryRecord h;
            JARecord j;
            const bool ok = folder.startsWith(QStringLiteral("CV"))  ? TryParseHistoryLine(line, &h)
                            : folder.startsWith(QStringLiteral("J")) ? TryParseJournalLine(line, &j)
                                                                     : TryParseArchiveLine(line, &a);
            // A whole line ends with the TAB after its last field.
            if (!ok || !line.endsWith(u'\t'))
                problems.append(path + QStringLiteral(": ") + line.left(60));
        }
    }
    return problems;
}

QStringList TreeProblems(const QString &dataRoot)
{
    QStringList problems;
    Registry registry(TreeIniPath(dataRoot));
    ProfileFile &ini = registry.file();
    QSet<int> listed;
    const QList<int> groups = QList<int>{0} + ParseNumberList(ini.ReadString(reg::kTree, reg::kGroupList));
    for (int g : groups) {
        if (g != 0 && !ini.HasSection(GroupSection(g)))
            problems.append(QStringLiteral("group %1 listed without its section").arg(g));
        for (int m : ParseNumberList(ini.ReadString(GroupSection(g), reg::kCList))) {
            if (!ini.HasSection(MeterSection(m)))
                problems.append(QStringLiteral("meter %1 listed without its section").arg(m));
            else if (ini.ReadInteger(MeterSection(m), reg::kParent, -1) != g)
                problems.append(QStringLiteral("meter %1: Parent is not %2").arg(m).arg(g));
            if (listed.contains(m))
                problems.append(QStringLiteral("meter %1 listed twice").arg(m));
            listed.insert(m);
        }
    }
    const qint64 max = ini.ReadInteger(reg::kTree, reg::kMaxCNum, 0);
    for (const QString &section : ini.ReadSectionNames()) {
        bool ok = false;
        const int n = section.mid(1).toInt(&ok);
        if (!section.startsWith(u'C', Qt::CaseInsensitive) || !ok)
            continue;
        if (!listed.contains(n))
            problems.append(QStringLiteral("meter %1 has a section but is in no list").arg(n));
        if (n > max)
            problems.append(QStringLiteral("meter %1 beyond MaxCNum").arg(n));
    }
    return problems;
}

QStringList LeftoverTemporaries(const QString &dataRoot)
{
    QStringList found;
    static const QRegularExpression temporary(QStringLiteral("\\.(ini|dat|csv|xlsx|docx|pdf)\\.[A-Za-z0-9]{6}$"));
    QDirIterator it(dataRoot, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (temporary.match(path).hasMatch())
            found.append(path);
    }
    return found;
}

bool MakeDump(const QString &file, int serial, int days, int journal)
{
    QProcess p;
    p.start(QStringLiteral(QST_SIM_PATH),
            {QStringLiteral("dump"), QStringLiteral("--version"), QStringLiteral("2"), QStringLiteral("--serial"),
             QString::number(serial), QStringLiteral("--days"), QString::number(days), QStringLiteral("--journal"),
             QString::number(journal), QStringLiteral("--seed"), QStringLiteral("7"), file});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace qst::test
