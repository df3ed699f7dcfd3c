#include "DatabaseForm.h"

#include "AppTexts.h"
#include "Dialogs.h"

#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "registry/Registry.h"
#include "replication/DatabaseSettings.h"
#include "replication/Outbox.h"
#include "replication/PgConnection.h"
#include "replication/ReplicaWriter.h"
#include "replication/Replicator.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>

namespace qst {

namespace {

QString AgeText(qint64 ms)
{
    const qint64 s = ms / 1000;
    if (s < 120)
        return ui::kDatabaseSeconds.arg(s);
    if (s < 7200)
        return ui::kDatabaseMinutes.arg(s / 60);
    return ui::kDatabaseHours.arg(s / 3600);
}

QLabel *StatusLine(const QString &name)
{
    auto *label = new QLabel;
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TDatabaseForm::TDatabaseForm(const QString &dataRoot, Registry &registry, QWidget *parent, TMsgForm *msg)
    : QDialog(parent)
    , m_dataRoot(dataRoot)
    , m_registry(registry)
    , m_msg(msg)
{
    setObjectName(QStringLiteral("DatabaseForm"));
    setWindowTitle(ui::kDatabaseTitle);
    auto *layout = new QVBoxLayout(this);

    auto *fields = new QFormLayout;
    UrlEdit = new QLineEdit;
    UrlEdit->setObjectName(QStringLiteral("UrlEdit"));
    UrlEdit->setPlaceholderText(ui::kDatabaseUrlPlaceholder);
    UrlEdit->setMinimumWidth(420);
    NodeEdit = new QLineEdit;
    NodeEdit->setObjectName(QStringLiteral("NodeEdit"));
    NodeEdit->setPlaceholderText(DefaultNodeName());
    fields->addRow(ui::kDatabaseUrl, UrlEdit);
    fields->addRow(ui::kDatabaseNode, NodeEdit);
    layout->addLayout(fields);

    NoteLabel = new QLabel(ui::kDatabasePasswordNote);
    NoteLabel->setObjectName(QStringLiteral("NoteLabel"));
    NoteLabel->setWordWrap(true);
    layout->addWidget(NoteLabel);

    auto *checkRow = new QHBoxLayout;
    CheckBtn = new QPushButton(ui::kDatabaseCheck);
    CheckBtn->setObjectName(QStringLiteral("CheckBtn"));
    CheckBtn->setAutoDefault(false);
    CheckLabel = StatusLine(QStringLiteral("CheckLabel"));
    checkRow->addWidget(CheckBtn, 0, Qt::AlignTop);
    checkRow->addWidget(CheckLabel, 1);
    layout->addLayout(checkRow);

    auto *status = new QGroupBox(ui::kDatabaseStatus);
    auto *statusLayout = new QVBoxLayout(status);
    EnabledLabel = StatusLine(QStringLiteral("EnabledLabel"));
    PendingLabel = StatusLine(QStringLiteral("PendingLabel"));
    LagLabel = StatusLine(QStringLiteral("LagLabel"));
    LastCommitLabel = StatusLine(QStringLiteral("LastCommitLabel"));
    LastErrorLabel = StatusLine(QStringLiteral("LastErrorLabel"));
    RejectedLabel = StatusLine(QStringLiteral("RejectedLabel"));
    NotQueuedLabel = StatusLine(QStringLiteral("NotQueuedLabel"));
    SyncLabel = StatusLine(QStringLiteral("SyncLabel"));
    for (QLabel *l : {EnabledLabel, PendingLabel, LagLabel, LastCommitLabel, LastErrorLabel, RejectedLabel,
                      NotQueuedLabel, SyncLabel})
        statusLayout->addWidget(l);
    layout->addWidget(status);

    auto *buttons = new QHBoxLayout;
    OffBtn = new QPushButton(ui::kDatabaseOff);
    OffBtn->setObjectName(QStringLiteral("OffBtn"));
    OffBtn->setAutoDefault(false);
    OkBtn = new QPushButton(ui::kOk);
    OkBtn->setObjectName(QStringLiteral("OkBtn"));
    OkBtn->setDefault(true);
    CancelBtn = new QPushButton(ui::kCancel);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setAutoDefault(false);
    buttons->addWidget(OffBtn);
    buttons->addStretch();
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    layout->addLayout(buttons);

    connect(CheckBtn, &QPushButton::clicked, this, &TDatabaseForm::CheckClick);
    connect(OkBtn, &QPushButton::clicked, this, [this] {
        if (Save())
            accept();
    });
    connect(OffBtn, &QPushButton::clicked, this, &TDatabaseForm::DisableClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TDatabaseForm::Load()
{
    const DatabaseSettings settings = ReadDatabaseSettings(m_registry);
    UrlEdit->setText(settings.url);
    NodeEdit->setText(settings.node);
    CheckLabel->clear();
    RefreshStatus();
}

void TDatabaseForm::RefreshStatus()
{
    EnabledLabel->setText(ReadDatabaseSettings(m_registry).enabled() ? ui::kDatabaseEnabled : ui::kDatabaseDisabled);
    const ReplicationState state = ReadReplicationState(m_dataRoot);
    OutboxSummary summary;
    try {
        summary = Outbox(m_dataRoot).Summary();
        PendingLabel->setText(ui::kDatabasePending.arg(summary.pending));
    } catch (const StorageError &e) {
        PendingLabel->setText(ui::kDatabaseStatusError.arg(e.message()));
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 lagMs = summary.oldestMs > 0 ? qMax<qint64>(0, now - summary.oldestMs) : 0;
    LagLabel->setText(summary.pending > 0 ? ui::kDatabaseLag.arg(AgeText(lagMs)) : ui::kDatabaseNoLag);
    LastCommitLabel->setText(state.lastCommit.isValid()
                                 ? ui::kDatabaseLastCommit.arg(DateTimeText(state.lastCommit.toLocalTime()))
                                       .arg(state.lastCommitRecords)
                                 : ui::kDatabaseNoCommit);
    const QString errorAt = DateTimeText(state.lastErrorAt.toLocalTime());
    LastErrorLabel->setText(state.lastError.isEmpty() ? ui::kDatabaseNoError
                                                      : ui::kDatabaseLastError.arg(state.lastError, errorAt));
    RejectedLabel->setText(ui::kDatabaseRejected.arg(summary.rejected));
    NotQueuedLabel->setText(ui::kDatabaseNotQueued.arg(state.notQueued));
    NotQueuedLabel->setVisible(state.notQueued > 0);
    // An empty queue says nothing of records a damaged outbox or a full disk lost.
    const QString sync = DatabaseSyncNeeded(m_dataRoot);
    SyncLabel->setText(ui::kDatabaseSyncNeeded.arg(sync));
    SyncLabel->setVisible(!sync.isEmpty());
    if (!sync.isEmpty() && summary.pending == 0)
        LagLabel->setText(ui::kDatabaseLagUnknown);
}

void TDatabaseForm::ShowProblem(const QString &text)
{
    const QString message = ui::kDatabaseNotSaved.arg(text);
    if (m_msg)
        m_msg->ShowMessage(message, 0);
    else
        CheckLabel->setText(message);
}

bool TDatabaseForm::Save()
{
    const DatabaseSettings settings{UrlEdit->text().trimmed(), NodeEdit->text().trimmed()};
    QString error = DatabaseUrlError(settings.url);
    if (error.isEmpty())
        error = DatabaseNodeError(settings.node);
    if (error.isEmpty()) {
        try {
            WriteDatabaseSettings(m_registry, settings);
            m_changed = true;
            return true;
        } catch (const StorageError &e) {
            error = e.message();
        }
    }
    ShowProblem(error);
    UrlEdit->setFocus();
    return false;
}

void TDatabaseForm::DisableClick()
{
    try {
        ClearDatabaseSettings(m_registry);
    } catch (const StorageError &e) {
        ShowProblem(e.message());
        return;
    }
    m_changed = true;
    accept();
}

void TDatabaseForm::CheckClick()
{
    if (m_checking)
        return;
    const QString url = UrlEdit->text().trimmed();
    // What could not be saved is not tried either: a password typed here stays out of the
    // connection attempt as it stays out of Tree.ini.
    const QString refusal = DatabaseUrlError(url);
    if (!refusal.isEmpty()) {
        CheckDone(false, refusal);
        return;
    }
    m_checking = true;
    CheckBtn->setEnabled(false);
    CheckLabel->setStyleSheet(QString());
    CheckLabel->setText(ui::kDatabaseChecking);
    // The dialog may be closed and gone before the answer: the pointer is looked at only on
    // the main thread, where the dialog is deleted.
    const QPointer<TDatabaseForm> self(this);
    QThreadPool::globalInstance()->start([self, url] {
        PgConnection connection;
        QString error;
        const bool opened = connection.Open(url, &error);
        const bool ok = opened && EnsureSchema(connection, &error);
        connection.Close();
        // libpq speaks English: a Russian sentence first says what failed and what to check.
        if (!ok)
            error = (opened ? ui::kDatabaseSchemaFailed : ui::kDatabaseConnectFailed) + u'\n' + error.trimmed();
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [self, ok, error] {
                    if (self)
                        self->CheckDone(ok, ok ? ui::kDatabaseConnected : error.trimmed());
                },
                Qt::QueuedConnection);
    });
}

void TDatabaseForm::CheckDone(bool ok, const QString &text)
{
    m_checking = false;
    CheckBtn->setEnabled(true);
    CheckLabel->setStyleSheet(ok ? QStringLiteral("color: #006000") : QStringLiteral("color: #b00000"));
    CheckLabel->setText(text);
    RefreshStatus();
    emit CheckFinished(ok, text);
}

} // namespace qst
