#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimeEdit;

namespace qst {

class TMsgForm;

// The schedules of documents: the list with the newest period each has done; add, delete and
// "run now" (the latest ended period, built on a thread of its own).
class TScheduleForm : public QDialog
{
    Q_OBJECT

public:
    TScheduleForm(const QString &dataRoot, TMsgForm *msg, QWidget *parent = nullptr);
    void Load();

    QTableWidget *ScheduleLV;
    QLineEdit *NameEdit;
    QComboBox *KindCB;
    QComboBox *SystemCB;
    QSpinBox *GroupSpin;
    QComboBox *PeriodCB;
    QSpinBox *DaySpin;
    QTimeEdit *TimeEdit;
    QLineEdit *OutDirEdit;
    QLineEdit *MailEdit;
    QCheckBox *PdfCB;
    QPushButton *AddBtn;
    QPushButton *DelBtn;
    QPushButton *RunBtn;

private:
    void AddClick();
    void DelClick();
    void RunClick();
    QString SelectedName() const;

    QString m_dataRoot;
    TMsgForm *m_msg;
};

} // namespace qst
