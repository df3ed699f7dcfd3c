#include "CliCommand.h"
#include "CliPublishing.h"
#include "CliReplication.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "registry/Registry.h"
#include "storage/ArchiveImport.h"


namespace qst::cli {

int RunImport(const CliContext &context)
{
    bool yes = false;
    QStringList paths;
    for (qsizetype i = 1; i < context.args.size(); ++i) {
        const QString a = context.args[i];
        if (a == QStringLiteral("--yes"))
            yes = true;
        else if (!a.startsWith(u'-') || a.size() == 1)
            paths.append(a);
        else {
            PrintLine(stderr, QStringLiteral("import: unknown option %1").arg(a));
            return kExitUsage;
        }
    }
    if (paths.isEmpty()) {
        PrintLine(stderr, QStringLiteral("import: give one or more dump files"));
        return kExitUsage;
    }

    // The files are found readable before the data root is taken, so a bad one never
    // holds the lock.
    QList<quint16> serials;
    try {
        for (const QString &path : paths)
            serials.append(ReadDumpSerial(path));
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    WritingSession session(context.dataRoot);
    QString error;
    if (!session.Begin(&error)) {
        PrintLine(stderr, error);
        return kExitFailed;
    }
    const QString question = ImportConfirmationText(serials);
    if (!yes) {
        PrintLine(stdout, importtexts::kConfirmCaption + u'\n' + question);
        if (!AskYes())
            return kExitFailed;
    }

    Registry registry(TreeIniPath(context.dataRoot));
    const StorageTarget target{context.dataRoot, &registry};
    int current = 0;
    ImportCallbacks callbacks;
    callbacks.file = [&](int percent) {
        if (percent == 0) {
            std::fputs(paths.value(current++).toUtf8().constData(), stdout);
            std::fputs(":", stdout);
        } else {
            std::fprintf(stdout, " %d%%", percent);
        }
        std::fflush(stdout);
    };
    callbacks.overall = [&](int percent) {
        if (percent > 0)
            PrintLine(stdout, QStringLiteral("\n%1%").arg(percent));
    };
    callbacks.message = [&](const QString &text) { PrintLine(stdout, u'\n' + text); };
    CliReplication replication(context.dataRoot);
    CliPublishing publishing(context.dataRoot);
    const ImportRunResult run = ImportArchiveFiles(target, paths, serials, callbacks);
    replication.Finish(60000);
    publishing.Finish(30000);
    if (!run.completed || run.notStored > 0) {
        PrintLine(stderr, u'\n' + ImportResultText(run));
        return kExitFailed;
    }
    PrintLine(stdout, ImportResultText(run));
    return run.refused == 0 ? kExitOk : kExitFailed;
}

} // namespace qst::cli
