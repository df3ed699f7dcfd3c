#pragma once

#include <QList>
#include <QString>

namespace qst {

class Registry;

// One node of the meter tree as the window shows it. The icon index tells the kinds apart:
// 0 for the root and groups, the meter's DevType for meters.
struct TreeNode
{
    QString caption;
    int data = 0;       // group number (0: root) or meter number
    int icon = 0;
    int parent = -1;    // index into TreeModel::nodes; -1 for the root
    QList<int> children; // indexes, in display order

    bool IsGroup() const { return icon == 0; }
};

// The tree built from Tree.ini; node 0 is the root "Все".
struct TreeModel
{
    QList<TreeNode> nodes;

    // Node indexes in display order (pre-order).
    QList<int> DisplayOrder() const;
    // The first group node in display order whose data is the number; -1 when none.
    int FindGroupNode(int group) const;
    // The first meter node in display order with this meter number; -1 when none.
    int FindMeterNode(int meter) const;
    // The group a command acts on: the node itself for a group node, its parent group for a meter.
    int GroupOf(int node) const;
};

// Rebuilds the model from the registry: groups in GroupList order under their Parent (the
// root when it cannot be found), meters under the group whose CList lists them, children of
// every group sorted by caption locale-aware. A stored DevType of 0 is read as 1 and, with
// `repair`, rewritten as 1 (a read-only viewer leaves the file alone).
TreeModel BuildTreeModel(Registry &registry, bool repair = true);

// "Serial (Name) PhysAddress".
QString MeterCaption(const QString &serial, const QString &name, const QString &physAddress);

// Search: the trimmed text upper-cased; the first meter node in display order whose
// caption contains it. -1 when the text is blank or nothing matches.
int SearchTree(const TreeModel &model, const QString &text);

// Creates a group under the parent group with the name exactly as typed. Returns its number.
int CreateGroup(Registry &registry, int parentGroup, const QString &name);
void RenameGroup(Registry &registry, int group, const QString &name);

// Erases the meter's section, takes it out of its group's CList and removes its data: the
// folders CV, HA, DA, MA and J + serial and DATA/<serial>.dat. Data are removed only when the
// stored Serial is a valid serial number, so a broken entry never names DATA/HA0 or the like.
// Returns false when some data could not be removed (the registry change goes ahead).
bool DeleteMeter(Registry &registry, const QString &dataRoot, int meter);

// Erases the group's section and takes it out of GroupList. The caller checks first that
// the group's node has no children (see NodeHasChildren).
void DeleteGroup(Registry &registry, int group);
bool NodeHasChildren(const TreeModel &model, int node);
// The meter numbers of a meter node, or of every meter in a group and its subgroups, in
// display order.
QList<int> MetersUnder(const TreeModel &model, int node);

} // namespace qst
