#include "ScheduleDialog.h"

#include "AppTexts.h"
#include "Dialogs.h"

#include "common/StorageError.h"
#include "notify/MailMessage.h"
#include "notify/MailSender.h"
#include "notify/ScheduleRunner.h"
#include "notify/Schedules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace qst {

TScheduleForm::TScheduleForm(const QString &dataRoot, TMsgForm *msg, QWidget *parent)
    : QDialog(parent)
    , m_dataRoot(dataRoot)
    , m_msg(msg)
{
    setObjectName(QStringLiteral("ScheduleForm"));
    setWindowTitle(ui::kScheduleTitle);
    ScheduleLV = new QTableWidget(0, 6);
    ScheduleLV->setHorizontalHeaderLabels(ui::kScheduleColumns);
    ScheduleLV->setSelectionBehavior(QAbstractItemView::SelectRows);
    ScheduleLV->setSelectionMode(QAbstractItemView::SingleSelection);
    ScheduleLV->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ScheduleLV->verticalHeader()->hide();
    ScheduleLV->horizontalHeader()->setStretchLastSection(true);
    NameEdit = new QLineEdit;
    KindCB = new QComboBox;
    KindCB->addItems({QStringLiteral("statement"), QStringLiteral("hourly"), QStringLiteral("daily"),
        QStringLiteral("monthly"), QStringLiteral("journal")});
    SystemCB = new QComboBox;
    SystemCB->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
    GroupSpin = new QSpinBox;
    GroupSpin->setRange(0, 1000000);
    PeriodCB = new QComboBox;
    PeriodCB->addItems({QStringLiteral("previous-month"), QStringLiteral("previous-week"), QStringLiteral("previous-day")});
    DaySpin = new QSpinBox;
    DaySpin->setRange(1, 31);
    TimeEdit = new QTimeEdit(QTime(6, 0));
    TimeEdit->setDisplayFormat(QStringLiteral("HH:mm"));
    OutDirEdit = new QLineEdit;
    MailEdit = new QLineEdit;
    PdfCB = new QCheckBox(QStringLiteral("PDF"));
    AddBtn = new QPushButton(ui::kScheduleAdd);
    DelBtn = new QPushButton(ui::kScheduleDelete);
    RunBtn = new QPushButton(ui::kScheduleRun);

    auto *form = new QFormLayout;
    form->addRow(ui::kScheduleName, NameEdit);
    form->addRow(ui::kScheduleKind, KindCB);
    form->addRow(ui::kScheduleSystem, SystemCB);
    form->addRow(ui::kScheduleGroup, GroupSpin);
    form->addRow(ui::kSchedulePeriod, PeriodCB);
    auto *at = new QHBoxLayout;
    at->addWidget(DaySpin);
    at->addWidget(TimeEdit);
    form->addRow(ui::kScheduleAt, at);
    form->addRow(ui::kScheduleOutDir, OutDirEdit);
    form->addRow(ui::kScheduleMail, MailEdit);
    form->addRow(QString(), PdfCB);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(AddBtn);
    buttons->addWidget(DelBtn);
    buttons->addWidget(RunBtn);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(ScheduleLV, 1);
    layout->addLayout(buttons);
    layout->addLayout(form);
    connect(AddBtn, &QPushButton::clicked, this, &TScheduleForm::AddClick);
    connect(DelBtn, &QPushButton::clicked, this, &TScheduleForm::DelClick);
    connect(RunBtn, &QPushButton::clicked, this, &TScheduleForm::RunClick);
    resize(760, 520);
}

void TScheduleForm::Load()
{
    ScheduleLV->setRowCount(0);
    QList<Schedule> list;
    try {
        list = ScheduleStore(m_dataRoot).List();
    } catch (const StorageError &e) {
        m_msg->ShowMessage(e.message(), 0);
    }
    for (const Schedule &s : list) {
        const int row = ScheduleLV->rowCount();
        ScheduleLV->insertRow(row);
        const QStringList cells = {s.name, s.kind, PeriodRuleName(s.period), AtText(s), s.mail.join(u','),
            s.lastResult};
        for (int c = 0; c < cells.size(); ++c)
            ScheduleLV->setItem(row, c, new QTableWidgetItem(cells[c]));
    }
    ScheduleLV->resizeColumnsToContents();
}

QString TScheduleForm::SelectedName() const
{
    const int row = ScheduleLV->currentRow();
    return row >= 0 && ScheduleLV->item(row, 0) ? ScheduleLV->item(row, 0)->text() : QString();
}

void TScheduleForm::AddClick()
{
    Schedule s;
    s.name = NameEdit->text().trimmed();
    s.kind = KindCB->currentText();
    s.system = SystemCB->currentIndex() + 1;
    s.group = GroupSpin->value();
    ParsePeriodRule(PeriodCB->currentText(), &s.period);
    s.day = DaySpin->value();
    s.at = TimeEdit->time();
    s.outDir = OutDirEdit->text().trimmed();
    QString error;
    s.mail = ParseMailList(MailEdit->text(), &error);
    s.pdf = PdfCB->isChecked();
    s.created = NotifyNow();
    if (error.isEmpty())
        error = ScheduleError(s);
    try {
        ScheduleStore store(m_dataRoot);
        Schedule old;
        if (error.isEmpty() && store.Find(s.name, &old))
            error = ui::kScheduleExists.arg(old.name);
        if (error.isEmpty())
            store.Save(s);
    } catch (const StorageError &e) {
        error = e.message();
    }
    if (!error.isEmpty()) {
        m_msg->ShowMessage(error, 0);
        return;
    }
    Load();
}

void TScheduleForm::DelClick()
{
    const QString name = SelectedName();
    if (name.isEmpty() || m_msg->ShowMessage(ui::kConfirmDelete, 1) != 1)
        return;
    try {
        ScheduleStore(m_dataRoot).Remove(name);
    } catch (const StorageError &e) {
        m_msg->ShowMessage(e.message(), 0);
    }
    Load();
}

void TScheduleForm::RunClick()
{
    const QString name = SelectedName();
    Schedule s;
    if (name.isEmpty() || !ScheduleStore(m_dataRoot).Find(name, &s))
        return;
    RunBtn->setEnabled(false);
    // The documents are built off the window's thread, so polling callbacks keep being served.
    QPointer<TScheduleForm> self(this);
    const QString root = m_dataRoot;
    QThread *worker = QThread::create([self, root, s] {
        const QDateTime now = NotifyNow();
        const SchedulePeriod period = LatestEndedPeriod(s.period, now);
        MailSender sender;
        ScheduleOutcome outcome;
        try {
            outcome = RunSchedulePeriod(root, s, period, now, false, true, sender);
            if (!outcome.retryLater)
                ScheduleStore(root).MarkDone(s.name, period, outcome.lines.value(0));
        } catch (const StorageError &e) {
            outcome.lines << e.message();
        }
        const QString text = outcome.lines.join(u'\n');
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, text] {
            if (!self)
                return;
            self->RunBtn->setEnabled(true);
            self->Load();
            self->m_msg->ShowMessage(text, 0);
        });
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

} // namespace qst
