// libFuzzer target: an untrusted dump file through the serial scan and the whole import
// into a scratch data root. Every line the import stores must read back.
#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/ArchiveImport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace qst;

namespace {

[[noreturn]] void Fault(const QString &what)
{
    std::fprintf(stderr, "dump import fault: %s\n", what.toLocal8Bit().constData());
    std::abort();
}

void CheckStoredLines(const QString &data)
{
    QDirIterator it(data, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString folder = QFileInfo(path).dir().dirName();
        if (folder == QStringLiteral("DATA"))
            continue; // the current-values profile files
        for (const QString &line : LoadLines(path)) {
            ArchiveRecord a;
            CurrentHistoryRecord h;
            JARecord j;
            const bool ok = folder.startsWith(QStringLiteral("CV"))  ? TryParseHistoryLine(line, &h)
                            : folder.startsWith(QStringLiteral("J")) ? TryParseJournalLine(line, &j)
                                                                     : TryParseArchiveLine(line, &a);
            if (!ok)
                Fault(path + QStringLiteral(": ") + line);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir scratch;
    const QString root = scratch.path() + QStringLiteral("/root");
    QDir(root).removeRecursively();
    QDir().mkpath(root + QStringLiteral("/DATA"));
    const QString file = scratch.path() + QStringLiteral("/input.arch");
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            Fault(QStringLiteral("cannot write the input"));
        f.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }

    Registry registry(TreeIniPath(root));
    const StorageTarget target{root, &registry};
    quint16 serial = 0;
    try {
        serial = ReadDumpSerial(file);
    } catch (const StorageError &) {
        Fault(QStringLiteral("an existing file was not opened"));
    }
    const ImportRunResult run = ImportArchiveFiles(target, {file}, {serial}, {});
    if (run.completed && run.loaded + run.refused != 1)
        Fault(QStringLiteral("the file was neither loaded nor refused"));
    CheckStoredLines(DataFolderPath(root));
    return 0;
}
