#pragma once

#include "storage/ArchiveView.h"
#include "registry/MeterRecord.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTextEdit;
class QWidget;

namespace qst {

class Registry;

// The application's own message box: borderless, a coloured strip on top, the text and the
// buttons of its kind (0 "OK"; 1 "Да"/"Нет"; 2 "Да"/"Нет"/"Отмена").
class TMsgForm : public QDialog
{
    Q_OBJECT

public:
    explicit TMsgForm(QWidget *parent = nullptr);

    // Modal; 1 for "OK" or "Да", 0 for "Нет", -1 for "Отмена".
    int ShowMessage(const QString &text, int kind);
    // Everything ShowMessage does before it shows the window.
    void Prepare(const QString &text, int kind);
    // "OK" for a written file: the text, the path below it to copy, and a button that opens
    // the file's folder.
    int ShowDocument(const QString &text, const QString &path);
    void SetFolderOpener(std::function<void(const QString &)> open) { m_openFolder = std::move(open); }

    QTextEdit *Memo;
    QWidget *Panel1;
    QPushButton *OkBtn;
    QPushButton *YesBtn1;
    QPushButton *NoBtn1;
    QPushButton *YesBtn2;
    QPushButton *NoBtn2;
    QPushButton *CancelBtn2;
    QPushButton *FolderBtn;

    int answer() const { return m_answer; }

protected:
    void reject() override;

private:
    void Answer(int value);

    QWidget *m_panel;
    int m_kind = 0;
    int m_answer = 0;
    QString m_document;
    std::function<void(const QString &)> m_openFolder;
};

// Two progress bars, shown and hidden by the archive import.
class TPB : public QDialog
{
    Q_OBJECT

public:
    explicit TPB(QWidget *parent = nullptr);
    QProgressBar *PB1;
    QProgressBar *PB2;
};

class TNewFolderForm : public QDialog
{
    Q_OBJECT

public:
    explicit TNewFolderForm(QWidget *parent = nullptr);
    // MainEdit's text as typed on "OK", empty text on "Cancel".
    QString Execute(const QString &currentName = QString());

    QLineEdit *MainEdit;
    QPushButton *OkBtn;
    QPushButton *CancelBtn;
};

class TNewCounterForm : public QDialog
{
    Q_OBJECT

public:
    TNewCounterForm(TMsgForm &msg, QWidget *parent = nullptr);

    // New: empties the edits, the schedule and the modem tick; ClassCB, PortCB and DevTypeCB keep
    // their last choice. Returns SerialEdit's text when accepted, empty text when cancelled.
    QString ExecuteNew();
    // Edit: the caller has filled the controls (Fill).
    QString ExecuteEdit();

    void Fill(const MeterRecord &record);
    MeterRecord Record() const;

    // The OK checks in order; empty text when every entry passes.
    QString CheckEntries() const;

    QLineEdit *NameEdit;
    QLineEdit *SerialEdit;
    QLineEdit *AbonEdit;
    QLineEdit *PersonEdit;
    QLineEdit *PhoneEdit;
    QLineEdit *MailEdit; // the meter's "Mail" key, kept apart from the record
    QLineEdit *AddressEdit;
    QLineEdit *DUEdit;
    QComboBox *ClassCB;
    QLineEdit *NetAdrEdit;
    QCheckBox *ModemCB;
    QComboBox *PortCB;
    QLineEdit *ModemNumEdit;
    QComboBox *DevTypeCB;
    QListWidget *SchList;
    QSpinBox *HourSpin;
    QSpinBox *MinSpin;
    QPushButton *AddBtn;
    QPushButton *DelBtn;
    QPushButton *OkBtn;
    QPushButton *CancelBtn;

private:
    void OkBtnClick();
    QString Run();

    TMsgForm &m_msg;
};

class TClearForm : public QDialog
{
    Q_OBJECT

public:
    explicit TClearForm(QWidget *parent = nullptr);
    // Resets the date to now minus 183 days and shows the dialog; false on "Отмена".
    bool Execute(QDate *cut, ClearChoice *choice);
    void ResetDate();
    ClearChoice Choice() const;

    QDateEdit *JFromDate;
    QCheckBox *RzCheckBox1;
    QCheckBox *RzCheckBox2;
    QCheckBox *RzCheckBox3;
    QCheckBox *RzCheckBox4;
    QPushButton *OkBtn;
    QPushButton *CancelBtn;
};

// Port numbers 1..64, the devices or network addresses they stand for, and their framing
// ([PORTS] of Tree.ini).
class TPortsForm : public QDialog
{
    Q_OBJECT

public:
    // msg, when given, shows why an address is refused.
    TPortsForm(Registry &registry, QWidget *parent = nullptr, TMsgForm *msg = nullptr);
    void Load();
    // Writes nothing and keeps the dialog open when an address is malformed; false then.
    bool Save();

    QTableWidget *PortTable; // columns: number, device (QComboBox), fast framing (QCheckBox)
    QLabel *ProblemLabel;

private:
    Registry &m_registry;
    TMsgForm *m_msg;
};

} // namespace qst
