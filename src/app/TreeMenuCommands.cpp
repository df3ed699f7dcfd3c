// The tree's commands: its buttons and its pop-up menu, on the groups and meters of Tree.ini.
#include "MainForm.h"

#include "AppTexts.h"
#include "ArchiveImportCommand.h"
#include "Dialogs.h"

#include "common/StorageError.h"
#include "registry/MeterRecord.h"
#include "storage/ArchiveFiles.h"
#include "storage/ArchiveView.h"

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>

namespace qst {

void TMainForm::NewGroupClick()
{
    if (IsReadOnly())
        return;
    const int node = SelectedNode();
    if (node < 0) {
        MsgForm->ShowMessage(ui::kChooseRootGroup, 0);
        return;
    }
    const int parent = m_model.nodes[m_model.GroupOf(node)].data;
    const QString name = NewFolderForm->Execute();
    if (name.isEmpty())
        return;
    CreateGroup(m_registry, parent, name);
    RebuildTree();
}

void TMainForm::AddClick()
{
    if (IsReadOnly())
        return;
    const int node = SelectedNode();
    if (node < 0) {
        MsgForm->ShowMessage(ui::kChooseGroup, 0);
        return;
    }
    const int group = m_model.nodes[m_model.GroupOf(node)].data;
    if (NewCounterForm->ExecuteNew().isEmpty())
        return;
    const int meter = AddMeter(m_registry, group, NewCounterForm->Record());
    WriteMeterMail(m_registry, meter, NewCounterForm->MailEdit->text());
    RebuildTree();
}

void TMainForm::EditClick()
{
    if (IsReadOnly())
        return;
    const int node = SelectedNode();
    if (node <= 0)
        return;
    const TreeNode target = m_model.nodes[node];
    if (!target.IsGroup()) {
        NewCounterForm->Fill(ReadMeterKeys(m_registry, target.data));
        NewCounterForm->MailEdit->setText(ReadMeterMail(m_registry, target.data));
        if (NewCounterForm->ExecuteEdit().isEmpty())
            return;
        WriteMeterKeys(m_registry, target.data, NewCounterForm->Record());
        WriteMeterMail(m_registry, target.data, NewCounterForm->MailEdit->text());
    } else {
        const QString name
            = NewFolderForm->Execute(m_registry.file().ReadString(GroupSection(target.data), reg::kName));
        if (name.isEmpty())
            return;
        RenameGroup(m_registry, target.data, name);
    }
    RebuildTree();
    SelectNode(0);
}

void TMainForm::DeleteClick()
{
    if (IsReadOnly())
        return;
    const int node = SelectedNode();
    if (node < 0) {
        MsgForm->ShowMessage(ui::kChooseForDelete, 0);
        return;
    }
    if (node == 0)
        return;
    const TreeNode target = m_model.nodes[node];
    if (!target.IsGroup()) {
        if (MsgForm->ShowMessage(ui::kConfirmDelete, 1) != 1)
            return;
        DeleteMeter(m_registry, m_dataRoot, target.data);
        RebuildTree();
        return;
    }
    if (NodeHasChildren(m_model, node)) {
        MsgForm->ShowMessage(ui::kGroupNotEmpty, 0);
        return;
    }
    if (MsgForm->ShowMessage(ui::kConfirmDelete, 1) != 1)
        return;
    DeleteGroup(m_registry, target.data);
    RebuildTree();
}

void TMainForm::ReadArcClick()
{
    if (IsReadOnly())
        return;
    const QStringList files = QFileDialog::getOpenFileNames(this, QString(), QString(), ArchiveFileFilter());
    if (files.isEmpty())
        return;
    RunArchiveImportCommand(files, m_dataRoot, m_registry, *MsgForm, *PB);
    RebuildTree();
}

void TMainForm::ClearArchiveClick()
{
    if (IsReadOnly())
        return;
    const int node = SelectedNode();
    if (node < 0)
        return;
    // A group clears every meter in it and in its subgroups, after one confirmation.
    const QList<int> meters = MetersUnder(m_model, node);
    if (meters.isEmpty()) {
        MsgForm->ShowMessage(ui::kGroupHasNoMeters, 0);
        return;
    }
    QDate cut;
    ClearChoice choice;
    if (!ClearForm->Execute(&cut, &choice))
        return;
    if (m_model.nodes[node].IsGroup()
        && MsgForm->ShowMessage(ui::ClearGroupQuestion(m_model.nodes[node].caption, int(meters.size())), 1) != 1)
        return;
    QStringList failures;
    for (int meter : meters) {
        const QString serial = m_registry.file().ReadString(MeterSection(meter), reg::kSerial);
        try {
            ClearArchive(m_dataRoot, serial, QDateTime(cut, QTime(0, 0)), choice);
        } catch (const StorageError &e) {
            // One meter's fault does not keep the others uncleared.
            if (meters.size() == 1)
                throw;
            failures << serial.trimmed() + QStringLiteral(": ") + e.message();
        }
    }
    if (!failures.isEmpty())
        MsgForm->ShowMessage(ui::kClearFailed + u'\n' + failures.join(u'\n'), 0);
    RefreshActivePage();
}

} // namespace qst
