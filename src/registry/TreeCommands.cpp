#include "TreeCommands.h"

#include "Registry.h"
#include "common/DataRoot.h"
#include "common/MeterWriteLock.h"

#include <QCollator>
#include <QLocale>
#include <QDir>
#include <QFile>

#include <algorithm>

namespace qst {

namespace {

const QString kRootCaption = QStringLiteral("Все");

int AddNode(TreeModel &model, int parent, const QString &caption, int data, int icon)
{
    TreeNode node;
    node.caption = caption;
    node.data = data;
    node.icon = icon;
    node.parent = parent;
    model.nodes.append(node);
    const int index = int(model.nodes.size()) - 1;
    if (parent >= 0)
        model.nodes[parent].children.append(index);
    return index;
}

void CollectPreorder(const TreeModel &model, int node, QList<int> &out)
{
    out.append(node);
    for (int child : model.nodes[node].children)
        CollectPreorder(model, child, out);
}

} // namespace

QList<int> TreeModel::DisplayOrder() const
{
    QList<int> order;
    if (!nodes.isEmpty())
        CollectPreorder(*this, 0, order);
    return order;
}

int TreeModel::FindGroupNode(int group) const
{
    for (int i : DisplayOrder()) {
        if (nodes[i].IsGroup() && nodes[i].data == group)
            return i;
    }
    return -1;
}

int TreeModel::FindMeterNode(int meter) const
{
    for (int i : DisplayOrder()) {
        if (!nodes[i].IsGroup() && nodes[i].data == meter)
            return i;
    }
    return -1;
}

int TreeModel::GroupOf(int node) const
{
    if (node < 0 || node >= nodes.size())
        return -1;
    return nodes[node].IsGroup() ? node : nodes[node].parent;
}

QString MeterCaption(const QString &serial, const QString &name, const QString &physAddress)
{
    return serial + QStringLiteral(" (") + name + QStringLiteral(") ") + physAddress;
}

TreeModel BuildTreeModel(Registry &registry, bool repair)
{
    ProfileFile &ini = registry.file();
    TreeModel model;
    AddNode(model, -1, kRootCaption, 0, 0);

    const QString groupList = ini.ReadString(reg::kTree, reg::kGroupList);
    if (!groupList.trimmed().isEmpty()) {
        for (int g : ParseNumberList(groupList)) {
            const int parentGroup = static_cast<int>(ini.ReadInteger(GroupSection(g), reg::kParent, 0));
            int parent = model.FindGroupNode(parentGroup);
            if (parent < 0)
                parent = 0;
            AddNode(model, parent, QString(), g, 0);
        }
    }

    // One collator for the whole build (the default one behind localeAwareCompare is never
    // freed), fixed like the rest of the regional format: under the process's locale (LANG=C
    // on a server) every capital went before every small letter. The order is the one a
    // Russian Windows desktop shows: digits, Latin, Cyrillic, case-blind, "ё" with "е",
    // numbers as text. That is the Unicode root order, which the English locale carries; the
    // Russian tailoring would move Cyrillic before Latin.
    const QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    const QList<int> groups = model.DisplayOrder();
    for (auto it = groups.crbegin(); it != groups.crend(); ++it) {
        const int number = model.nodes[*it].data;
        int target = model.FindGroupNode(number);
        if (target < 0)
            target = 0;
        if (number != 0)
            model.nodes[target].caption = ini.ReadString(GroupSection(number), reg::kName);
        for (int m : ParseNumberList(ini.ReadString(GroupSection(number), reg::kCList))) {
            const QString section = MeterSection(m);
            int devType = static_cast<int>(ini.ReadInteger(section, reg::kDevType, 1));
            if (devType == 0) {
                devType = 1;
                if (repair)
                    ini.WriteInteger(section, reg::kDevType, 1);
            }
            AddNode(model, target,
                    MeterCaption(ini.ReadString(section, reg::kSerial), ini.ReadString(section, reg::kName),
                                 ini.ReadString(section, reg::kPhysAddress)),
                    m, devType);
        }
        QList<int> &children = model.nodes[target].children;
        std::stable_sort(children.begin(), children.end(), [&model, &collator](int a, int b) {
            return collator.compare(model.nodes[a].caption, model.nodes[b].caption) < 0;
        });
    }
    return model;
}

int SearchTree(const TreeModel &model, const QString &text)
{
    const QString wanted = text.trimmed().toUpper();
    if (wanted.isEmpty())
        return -1;
    for (int i : model.DisplayOrder()) {
        const TreeNode &node = model.nodes[i];
        if (!node.IsGroup() && node.caption.toUpper().contains(wanted))
            return i;
    }
    return -1;
}

int CreateGroup(Registry &registry, int parentGroup, const QString &name)
{
    int number = 0;
    registry.file().Update([&](ProfileFile::Edit &edit) {
        number = Registry::IssueGroupNumber(edit);
        edit.WriteString(GroupSection(number), reg::kName, name);
        edit.WriteInteger(GroupSection(number), reg::kParent, parentGroup);
    });
    return number;
}

void RenameGroup(Registry &registry, int group, const QString &name)
{
    registry.file().WriteString(GroupSection(group), reg::kName, name);
}

bool DeleteMeter(Registry &registry, const QString &dataRoot, int meter)
{
    ProfileFile &ini = registry.file();
    const QString section = MeterSection(meter);
    const int group = static_cast<int>(ini.ReadInteger(section, reg::kParent, 0));
    const QString serialText = ini.ReadString(section, reg::kSerial);
    const QString groupSection = GroupSection(group);
    // The section and its CList entry go together: a crash never leaves a listed meter
    // without its section.
    ini.Update([&](ProfileFile::Edit &edit) {
        edit.EraseSection(section);
        edit.WriteString(groupSection, reg::kCList,
                         RemoveFromNumberList(edit.ReadString(groupSection, reg::kCList), meter));
    });

    bool removed = true;
    quint16 serial = 0;
    if (ParseSerial(serialText, &serial)) {
        // Not while a poll or an import writes this meter's files.
        MeterWriteLock lock(serial);
        for (DataKind kind : {DataKind::History, DataKind::Hourly, DataKind::Daily, DataKind::Monthly,
                              DataKind::Journal}) {
            QDir folder(MeterFolderPath(dataRoot, kind, serial));
            if (folder.exists() && !folder.removeRecursively())
                removed = false;
        }
        const QString current = DataFilePath(dataRoot, DataKind::CurrentValues, serial);
        if (QFile::exists(current) && !QFile::remove(current))
            removed = false;
    }

    return removed;
}

void DeleteGroup(Registry &registry, int group)
{
    registry.file().Update([&](ProfileFile::Edit &edit) {
        edit.EraseSection(GroupSection(group));
        edit.WriteString(reg::kTree, reg::kGroupList,
                         RemoveFromNumberList(edit.ReadString(reg::kTree, reg::kGroupList), group));
    });
}

bool NodeHasChildren(const TreeModel &model, int node)
{
    return node >= 0 && node < model.nodes.size() && !model.nodes[node].children.isEmpty();
}

QList<int> MetersUnder(const TreeModel &model, int node)
{
    QList<int> meters;
    if (node < 0 || node >= model.nodes.size())
        return meters;
    const TreeNode &n = model.nodes[node];
    if (!n.IsGroup())
        return {n.data};
    for (int child : n.children)
        meters += MetersUnder(model, child);
    return meters;
}

} // namespace qst
