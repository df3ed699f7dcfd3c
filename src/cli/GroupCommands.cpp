#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"

namespace qst::cli {

namespace {

// A group number the command line names: a number of a group in GroupList (0, the root, when
// `rootAllowed`). -1 when it names none.
int ExistingGroup(Registry &registry, const QString &text, bool rootAllowed)
{
    qint64 n = 0;
    if (!TryParseInt(text.trimmed(), &n) || n < 0 || n > kMaxRegistryNumber)
        return -1;
    if (n == 0)
        return rootAllowed ? 0 : -1;
    return ParseNumberList(registry.file().ReadString(reg::kTree, reg::kGroupList)).contains(int(n)) ? int(n) : -1;
}

} // namespace

int RunGroupAdd(const CliContext &context)
{
    QStringList args = context.args.mid(1);
    QString parentText = QStringLiteral("0");
    const qsizetype at = args.indexOf(QStringLiteral("--parent"));
    if (at >= 0) {
        if (at + 1 >= args.size())
            return UsageError(QStringLiteral("group add: --parent needs a group number"));
        parentText = args[at + 1];
        args.remove(at, 2);
    }
    if (args.size() != 1 || args[0].startsWith(QStringLiteral("--")))
        return UsageError(QStringLiteral("usage: group add NAME [--parent G]"));
    // The group dialog stores the name as typed; a blank one makes no group.
    const QString name = args[0];
    if (name.trimmed().isEmpty())
        return UsageError(QStringLiteral("Введите название группы"));
    if (const QString error = ProfileTextError(name); !error.isEmpty())
        return UsageError(QStringLiteral("group add: %1").arg(error));

    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        const int parent = ExistingGroup(registry, parentText, true);
        if (parent < 0)
            return UsageError(QStringLiteral("group add: no group %1").arg(parentText));
        PrintLine(stdout, QString::number(CreateGroup(registry, parent, name)));
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

int RunGroupList(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("group list takes no options"));
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        ProfileFile &ini = registry.file();
        PrintLine(stdout, QStringLiteral("#\tname\tparent"));
        for (int g : ParseNumberList(ini.ReadString(reg::kTree, reg::kGroupList))) {
            const QString section = GroupSection(g);
            if (!ini.HasSection(section))
                continue;
            PrintLine(stdout,
                QStringList { QString::number(g), ini.ReadString(section, reg::kName),
                    QString::number(ini.ReadInteger(section, reg::kParent, 0)) }
                    .join(u'\t'));
        }
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

int RunGroupDel(const CliContext &context)
{
    QStringList args = context.args.mid(1);
    const bool withMeters = args.removeAll(QStringLiteral("--with-meters")) > 0;
    if (args.size() != 1)
        return UsageError(QStringLiteral("usage: group del G [--with-meters]"));

    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        const int group = ExistingGroup(registry, args[0], false);
        if (group < 0)
            return UsageError(QStringLiteral("group del: no group %1 (the root cannot be deleted)").arg(args[0]));
        const TreeModel model = BuildTreeModel(registry, false);
        const int node = model.FindGroupNode(group);
        QList<int> meters;
        QStringList subgroups;
        const QList<int> children = node >= 0 ? model.nodes[node].children : QList<int>();
        for (int child : children) {
            if (model.nodes[child].IsGroup())
                subgroups << QString::number(model.nodes[child].data) + u' ' + model.nodes[child].caption;
            else
                meters << model.nodes[child].data;
        }
        // Subgroups are deleted one by one, so that no command removes more than it names.
        if (!subgroups.isEmpty()) {
            PrintLine(stderr, QStringLiteral("group del: group %1 holds groups; delete them first:").arg(group));
            for (const QString &g : subgroups)
                PrintLine(stderr, g);
            return kExitFailed;
        }
        if (!meters.isEmpty() && !withMeters) {
            PrintLine(stderr,
                QStringLiteral("group del: group %1 holds meters; --with-meters deletes them "
                               "with their records:")
                    .arg(group));
            for (int m : meters)
                PrintLine(stderr, QString::number(m) + u'\t' + model.nodes[model.FindMeterNode(m)].caption);
            return kExitFailed;
        }
        bool allData = true;
        for (int m : meters) {
            PrintLine(stdout,
                QStringLiteral("deleted meter ") + QString::number(m) + u'\t'
                    + model.nodes[model.FindMeterNode(m)].caption);
            allData = DeleteMeter(registry, context.dataRoot, m) && allData;
        }
        DeleteGroup(registry, group);
        if (!allData) {
            PrintLine(stderr, QStringLiteral("group del: some records could not be removed"));
            return kExitFailed;
        }
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace qst::cli
