#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace qst {

class Registry;
class TMsgForm;

// Where the data root copies its records ([DATABASE] of Tree.ini), a connection check and
// what the copy is doing now.
class TDatabaseForm : public QDialog
{
    Q_OBJECT

public:
    // msg, when given, shows why the settings are refused.
    TDatabaseForm(const QString &dataRoot, Registry &registry, QWidget *parent = nullptr, TMsgForm *msg = nullptr);

    // The stored settings into the fields, and the status block.
    void Load();
    void RefreshStatus();
    // Writes nothing and keeps the dialog open when the settings are refused; false then.
    bool Save();
    void DisableClick();
    // Connects and creates or migrates the schema on a pool thread; the answer comes back
    // through the event loop, so the window never waits for the database.
    void CheckClick();
    bool CheckRunning() const { return m_checking; }
    // True once OK or "Отключить" changed Tree.ini.
    bool SettingsChanged() const { return m_changed; }

    QLineEdit *UrlEdit;
    QLineEdit *NodeEdit;
    QLabel *NoteLabel;
    QPushButton *CheckBtn;
    QLabel *CheckLabel;
    QLabel *EnabledLabel;
    QLabel *PendingLabel;
    QLabel *LagLabel;
    QLabel *LastCommitLabel;
    QLabel *LastErrorLabel;
    QLabel *RejectedLabel;
    QLabel *NotQueuedLabel;
    QLabel *SyncLabel;
    QPushButton *OkBtn;
    QPushButton *OffBtn;
    QPushButton *CancelBtn;

signals:
    void CheckFinished(bool ok, const QString &text);

private:
    void CheckDone(bool ok, const QString &text);
    void ShowProblem(const QString &text);

    QString m_dataRoot;
    Registry &m_registry;
    TMsgForm *m_msg;
    bool m_checking = false;
    bool m_changed = false;
};

} // namespace qst
