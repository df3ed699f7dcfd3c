#include "MainForm.h"

#include "ReportCommand.h"

#include "AppTexts.h"
#include "ArchiveImportCommand.h"
#include "ChartPage.h"
#include "CurrentValuesData.h"
#include "DatabaseForm.h"
#include "ScheduleDialog.h"
#include "notify/MailOutbox.h"
#include "notify/ScheduleRunner.h"
#include "Dialogs.h"
#include "ExportCommand.h"
#include "ReportCommand.h"
#include "ShellRules.h"
#include "SummaryPage.h"
#include "TSetModemForm.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/DayCount.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "exchange/MeterHealth.h"
#include "notify/Alarms.h"
#include "exchange/MeterSummary.h"
#include "exchange/PollQueue.h"
#include "reports/ReportTables.h"
#include "reports/TableExport.h"
#include "storage/ArchiveView.h"
#include "registry/MeterRecord.h"
#include "replication/DatabaseSettings.h"
#include "replication/Replicator.h"
#include "notify/MqttPublisher.h"

#include <QAction>
#include <QBrush>
#include <QColor>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QSpinBox>
#include <QScrollArea>
#include <QStandardPaths>
#include <QSplitter>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace qst {

namespace {

constexpr int kNodeRole = Qt::UserRole + 1;

QToolButton *TreeButton(const QString &text, const QString &name, QStyle::StandardPixmap icon, QWidget *owner)
{
    auto *b = new QToolButton;
    b->setObjectName(name);
    b->setText(text);
    b->setIcon(owner->style()->standardIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setAutoRaise(true);
    return b;
}

QTime WholeSeconds(const QTime &t)
{
    return QTime(t.hour(), t.minute(), t.second());
}

} // namespace

TMainForm::TMainForm(const QString &dataRoot, bool timers, QWidget *parent)
    : TMainForm(dataRoot, Access::ReadWrite, timers, parent)
{
}

TMainForm::TMainForm(const QString &dataRoot, Access access, bool timers, QWidget *parent)
    : QMainWindow(parent), m_dataRoot(dataRoot), m_access(access), m_registry(TreeIniPath(dataRoot))
{
    setObjectName(QStringLiteral("MainForm"));
    BuildWidgets();

    const VisualLayout v = ReadVisualLayout(m_registry);
    move(v.left, v.top);
    resize(v.width, v.height);
    m_sp1 = v.sp1;
    m_sp2 = v.sp2;
    Splitter1->setSizes({v.sp1, std::max(v.height - v.sp1, 1)});
    Splitter2->setSizes({v.sp2, std::max(v.width - v.sp2, 1)});

    // FormCreate: the queue and the thread list live in the exchange engine.
    m_log = std::make_unique<LogPane>(LogPC);
    connect(LogPC->tabBar(), &QTabBar::tabBarClicked, this, [this] { m_log->StopFollowing(); });
    ExchangeEnvironment environment;
    environment.dataRoot = m_dataRoot;
    environment.registry = &m_registry;
    environment.log = m_log.get();
    if (!IsReadOnly()) {
        // The copy and publishing first: the engine may store records as soon as it exists.
        RestartReplicator(0);
        StartPublishing();
        m_engine = std::make_unique<ExchangeEngine>(environment);
    }

    // The other windows, hidden until needed.
    MsgForm = new TMsgForm(this);
    NewFolderForm = new TNewFolderForm(this);
    NewCounterForm = new TNewCounterForm(*MsgForm, this);
    PB = new TPB(this);
    SetModemForm = new TSetModemForm(
        dataRoot, [this](int port) { return m_engine && m_engine->PortInUse(port); },
        [this](const QString &text) { MsgForm->ShowMessage(text, 0); }, this);
    ClearForm = new TClearForm(this);

    Timer1 = new QTimer(this);
    Timer2 = new QTimer(this);
    Timer3 = new QTimer(this);
    Timer1->setInterval(5000);
    Timer2->setInterval(5000);
    Timer3->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Tick);
    connect(Timer2, &QTimer::timeout, this, [this] {
        if (m_engine)
            m_engine->ScheduleTick();
        if (m_notify)
            m_notify->Tick();
    });
    connect(Timer3, &QTimer::timeout, this, [this] {
        if (m_engine)
            m_engine->SuperviseTick();
        CheckPollsDone();
    });
    if (IsReadOnly())
        DisableWriteCommands();
    else if (timers) {
        m_notify = std::make_unique<NotifyService>(dataRoot);
        connect(m_notify.get(), &NotifyService::LogLine, this, [this](const QString &line) {
            m_log->WritePageLine(ui::kMailLogPage, FormatLogLine(QDateTime::currentDateTime(), line));
        });
        Timer1->start();
        Timer2->start();
        Timer3->start();
    }
}

void TMainForm::DisableWriteCommands()
{
    for (QAction *a : {EditModemTB, StopTB, PortsTB, DatabaseTB, SchedulesTB, MenuItem1, MenuItem2})
        a->setEnabled(false);
    for (QToolButton *b : {NewGroupTB, AddTB, ReadArcTB, DeleteTB, CurrTS->CurrReadTB})
        b->setEnabled(false);
    for (ArchivePage *page : {HourTS, DayTS, MonthTS, JournalTS})
        page->ReadTB->setEnabled(false);
}

TMainForm::~TMainForm()
{
    // Every exchange thread ends before the registry and the port locks go.
    if (m_engine)
        m_engine->Shutdown();
    m_engine.reset();
    // Then what the engine stored last may still reach the database; the rest waits in the outbox.
    if (m_replicator)
        m_replicator->Stop(5000);
    m_replicator.reset();
    if (m_mqtt)
        m_mqtt->Stop(2000);
    m_mqtt.reset();
}

void TMainForm::StartPublishing()
{
    MqttSettings settings;
    try {
        settings = ReadMqttSettings(m_registry.file());
    } catch (const StorageError &e) {
        m_log->WritePageLine(ui::kDatabaseLogPage,
                             ui::kMqttLogPrefix + FormatLogLine(QDateTime::currentDateTime(), e.message()));
        return;
    }
    // The log is called on the publisher's thread; the window outlives the publisher.
    m_mqtt = StartMqttPublisher(m_dataRoot, settings, [this](const QString &text) {
        const QString line = ui::kMqttLogPrefix + FormatLogLine(QDateTime::currentDateTime(), text);
        QMetaObject::invokeMethod(
            this, [this, line] { m_log->WritePageLine(ui::kDatabaseLogPage, line); }, Qt::QueuedConnection);
    });
}

void TMainForm::RestartReplicator(int drainMs)
{
    if (m_replicator)
        m_replicator->Stop(drainMs);
    m_replicator.reset();
    if (IsReadOnly())
        return;
    DatabaseSettings settings;
    try {
        settings = ReadDatabaseSettings(m_registry);
    } catch (const StorageError &e) {
        m_log->WritePageLine(ui::kDatabaseLogPage,
                             ui::kDatabaseLogPrefix + FormatLogLine(QDateTime::currentDateTime(), e.message()));
        return;
    }
    if (!settings.enabled())
        return;
    // Called on the replicator's thread and on writers' threads; the window lives until the
    // replicator has stopped, so a queued call to it always finds it.
    m_replicator = std::make_unique<Replicator>(m_dataRoot, settings, [this](const QString &text) {
        const QString line = ui::kDatabaseLogPrefix + FormatLogLine(QDateTime::currentDateTime(), text);
        QMetaObject::invokeMethod(
            this, [this, line] { m_log->WritePageLine(ui::kDatabaseLogPage, line); }, Qt::QueuedConnection);
    });
    m_replicator->Start();
}

void TMainForm::DatabaseClick()
{
    if (IsReadOnly())
        return;
    TDatabaseForm form(m_dataRoot, m_registry, this, MsgForm);
    form.Load();
    form.exec();
    if (form.SettingsChanged())
        RestartReplicator(0);
}

void TMainForm::SchedulesClick()
{
    if (IsReadOnly())
        return;
    TScheduleForm form(m_dataRoot, MsgForm, this);
    form.Load();
    form.exec();
}

void TMainForm::BuildWidgets()
{
    auto *toolbar = addToolBar(QString());
    toolbar->setObjectName(QStringLiteral("ToolBar1"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    CloseTB = toolbar->addAction(style()->standardIcon(QStyle::SP_DialogCloseButton), ui::kExit);
    CloseTB->setObjectName(QStringLiteral("CloseTB"));
    EditModemTB = toolbar->addAction(ui::kEditModem);
    EditModemTB->setObjectName(QStringLiteral("EditModemTB"));
    StopTB = toolbar->addAction(style()->standardIcon(QStyle::SP_MediaStop), ui::kStop);
    StopTB->setObjectName(QStringLiteral("StopTB"));
    PortsTB = toolbar->addAction(ui::kPortsButton);
    PortsTB->setObjectName(QStringLiteral("PortsTB"));
    DatabaseTB = toolbar->addAction(ui::kDatabaseButton);
    DatabaseTB->setObjectName(QStringLiteral("DatabaseTB"));
    connect(DatabaseTB, &QAction::triggered, this, &TMainForm::DatabaseClick);
    SchedulesTB = toolbar->addAction(ui::kSchedulesButton);
    SchedulesTB->setObjectName(QStringLiteral("SchedulesTB"));
    connect(SchedulesTB, &QAction::triggered, this, &TMainForm::SchedulesClick);
    connect(CloseTB, &QAction::triggered, this, [this] {
        // Leaving cuts the running polls short: the operator says so first.
        if (m_engine && m_engine->queue().Size() > 0 && MsgForm->ShowMessage(ui::kExitWhilePolling, 1) != 1)
            return;
        close();
    });
    connect(StopTB, &QAction::triggered, this, &TMainForm::StopClick);
    connect(EditModemTB, &QAction::triggered, this, [this] {
        SetModemForm->show();
        SetModemForm->raise();
    });
    connect(PortsTB, &QAction::triggered, this, [this] {
        TPortsForm form(m_registry, this, MsgForm);
        form.Load();
        form.exec();
    });

    Splitter1 = new QSplitter(Qt::Vertical);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setChildrenCollapsible(false);
    Splitter2 = new QSplitter(Qt::Horizontal);
    Splitter2->setObjectName(QStringLiteral("Splitter2"));
    Splitter2->setChildrenCollapsible(false);

    // Tree page
    TreePC = new QTabWidget;
    TreePC->setObjectName(QStringLiteral("TreePC"));
    auto *treePage = new QWidget;
    auto *treeLayout = new QVBoxLayout(treePage);
    treeLayout->setContentsMargins(1, 2, 1, 2);
    NewGroupTB = TreeButton(ui::kNewGroup, QStringLiteral("NewGroupTB"), QStyle::SP_FileDialogNewFolder, this);
    AddTB = TreeButton(ui::kAddMeter, QStringLiteral("AddTB"), QStyle::SP_FileIcon, this);
    RefreshTB = TreeButton(ui::kRefresh, QStringLiteral("RefreshTB"), QStyle::SP_BrowserReload, this);
    ReadArcTB = TreeButton(ui::kReadArchiveFile, QStringLiteral("ReadArcTB"), QStyle::SP_DialogOpenButton, this);
    DeleteTB = TreeButton(ui::kDelete, QStringLiteral("DeleteTB"), QStyle::SP_TrashIcon, this);
    auto *row1 = new QHBoxLayout;
    row1->setSpacing(0);
    row1->addWidget(NewGroupTB);
    row1->addWidget(AddTB);
    row1->addWidget(RefreshTB);
    row1->addStretch();
    auto *row2 = new QHBoxLayout;
    row2->setSpacing(0);
    row2->addWidget(ReadArcTB);
    row2->addWidget(DeleteTB);
    row2->addStretch();
    for (QToolButton *b : {NewGroupTB, AddTB, RefreshTB, ReadArcTB, DeleteTB}) {
        b->setIconSize(QSize(16, 16));
        b->setStyleSheet(QStringLiteral("QToolButton { padding: 1px; }"));
        QFont small = b->font();
        small.setPointSizeF(small.pointSizeF() * 0.9);
        b->setFont(small);
    }
    auto *row3 = new QHBoxLayout;
    row3->addWidget(new QLabel(ui::kSearch));
    SearchEdit = new QLineEdit;
    SearchEdit->setObjectName(QStringLiteral("SearchEdit"));
    row3->addWidget(SearchEdit);
    treeLayout->addLayout(row1);
    treeLayout->addLayout(row2);
    treeLayout->addLayout(row3);
    MainTree = new QTreeWidget;
    MainTree->setObjectName(QStringLiteral("MainTree"));
    MainTree->setHeaderHidden(true);
    MainTree->setIndentation(19);
    MainTree->setContextMenuPolicy(Qt::CustomContextMenu);
    treeLayout->addWidget(MainTree);
    TreePC->addTab(treePage, ui::kTreePage);
    // The splitter may make the tree narrower than its tool buttons.
    treePage->setMinimumWidth(120);
    TreePC->setMinimumWidth(120);

    PopupMenu = new QMenu(this);
    MenuItem1 = PopupMenu->addAction(ui::kMenuEdit);
    MenuItem2 = PopupMenu->addAction(ui::kMenuClear);
    MenuItem3 = PopupMenu->addAction(ui::kMenuCheck);
    MenuItem4 = PopupMenu->addAction(ui::kMenuGroupReports);
    FillGapsItem = PopupMenu->addAction(ui::kMenuFillGaps);
    FillGapsItem->setObjectName(QStringLiteral("FillGapsItem"));

    connect(RefreshTB, &QToolButton::clicked, this, &TMainForm::RebuildTree);
    connect(NewGroupTB, &QToolButton::clicked, this, &TMainForm::NewGroupClick);
    connect(AddTB, &QToolButton::clicked, this, &TMainForm::AddClick);
    connect(DeleteTB, &QToolButton::clicked, this, &TMainForm::DeleteClick);
    connect(ReadArcTB, &QToolButton::clicked, this, &TMainForm::ReadArcClick);
    connect(MenuItem1, &QAction::triggered, this, &TMainForm::EditClick);
    connect(MenuItem2, &QAction::triggered, this, &TMainForm::ClearArchiveClick);
    connect(MenuItem3, &QAction::triggered, this, &TMainForm::CheckArchiveClick);
    connect(MenuItem4, &QAction::triggered, this, &TMainForm::GroupReportsClick);
    connect(FillGapsItem, &QAction::triggered, this, &TMainForm::FillGapsClick);
    connect(SearchEdit, &QLineEdit::textChanged, this, &TMainForm::SearchChanged);
    connect(MainTree, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!m_rebuilding)
            MainTreeClick();
    });
    // A click on the meter already selected changes no selection, yet it is how the operator
    // sees what a poll has just stored: it reads the files again. A click that changed the
    // selection has been handled above.
    MainTree->viewport()->installEventFilter(this);
    connect(MainTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) {
        if (item && item->data(0, kNodeRole).toInt() == m_selectedBeforePress && SelectedNode() == m_selectedBeforePress)
            MainTreeClick();
    });
    connect(MainTree, &QTreeWidget::customContextMenuRequested, this, &TMainForm::ShowPopup);

    // Meter pages
    MainPanel = new QWidget;
    MainPanel->setObjectName(QStringLiteral("MainPanel"));
    auto *panelLayout = new QVBoxLayout(MainPanel);
    panelLayout->setContentsMargins(2, 2, 2, 2);
    HeaderPanel = new QLabel;
    HeaderPanel->setObjectName(QStringLiteral("HeaderPanel"));
    QFont big = HeaderPanel->font();
    big.setPointSize(big.pointSize() + 5);
    big.setBold(true);
    HeaderPanel->setFont(big);
    HeaderPanel->setAlignment(Qt::AlignCenter);
    HeaderPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    HeaderPanel->setMinimumHeight(36);
    panelLayout->addWidget(HeaderPanel);
    MainPC = new QTabWidget;
    MainPC->setObjectName(QStringLiteral("MainPC"));
    CurrTS = new CurrentValuesPage;
    HourTS = new ArchivePage(ArchivePage::Hourly);
    DayTS = new ArchivePage(ArchivePage::Daily);
    MonthTS = new ArchivePage(ArchivePage::Monthly);
    JournalTS = new ArchivePage(ArchivePage::Journal);
    ReportTS = new ReportPage;
    SummaryTS = new TSummaryPage;
    auto *queuePage = new QWidget;
    queuePage->setObjectName(QStringLiteral("TabSheet3"));
    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    (new QVBoxLayout(queuePage))->addWidget(Memo1);
    // Pages taller or wider than the window scroll instead of widening it.
    auto scrolled = [](QWidget *page) {
        auto *area = new QScrollArea;
        area->setWidget(page);
        area->setWidgetResizable(true);
        area->setFrameShape(QFrame::NoFrame);
        return area;
    };
    MainPC->addTab(scrolled(CurrTS), ui::kCurrPage);
    MainPC->addTab(HourTS, ui::kHourPage);
    MainPC->addTab(DayTS, ui::kDayPage);
    MainPC->addTab(MonthTS, ui::kMonthPage);
    MainPC->addTab(JournalTS, ui::kJournalPage);
    MainPC->addTab(scrolled(ReportTS), ui::kReportPage);
    MainPC->addTab(queuePage, ui::kQueuePage);
    // Last, so the pages keep the places the operator knows.
    ChartTS = new ChartPage;
    ChartTab = scrolled(ChartTS);
    MainPC->addTab(ChartTab, ui::kChartPage);
    MainPC->addTab(SummaryTS, ui::kSummaryPage);
    connect(SummaryTS, &TSummaryPage::MeterActivated, this, [this](int meter) {
        const int node = m_model.FindMeterNode(meter);
        if (node < 0)
            return;
        MainTree->clearSelection();
        SelectNode(node);
    });
    // The tab bar scrolls when the window is narrow; this menu reaches every page at once.
    PagesTB = new QToolButton;
    PagesTB->setObjectName(QStringLiteral("PagesTB"));
    PagesTB->setText(ui::kPagesMenu);
    PagesTB->setToolTip(ui::kPagesMenu);
    PagesTB->setPopupMode(QToolButton::InstantPopup);
    PagesTB->setAutoRaise(true);
    auto *pagesMenu = new QMenu(PagesTB);
    PagesTB->setMenu(pagesMenu);
    connect(pagesMenu, &QMenu::aboutToShow, this, [this, pagesMenu] {
        pagesMenu->clear();
        for (int i = 0; i < MainPC->count(); ++i) {
            if (!MainPC->isTabVisible(i))
                continue;
            QAction *a = pagesMenu->addAction(MainPC->tabText(i));
            a->setCheckable(true);
            a->setChecked(i == MainPC->currentIndex());
            connect(a, &QAction::triggered, this, [this, i] { MainPC->setCurrentIndex(i); });
        }
    });
    MainPC->setCornerWidget(PagesTB, Qt::TopRightCorner);
    MainPC->setCurrentIndex(5);
    panelLayout->addWidget(MainPC);
    connect(MainPC, &QTabWidget::currentChanged, this, &TMainForm::RefreshActivePage);

    connect(CurrTS->CurrRefreshTB, &QToolButton::clicked, this, &TMainForm::CurrRefresh);
    connect(CurrTS->CurrReadTB, &QToolButton::clicked, this, &TMainForm::CurrReadClick);
    for (ArchivePage *page : {HourTS, DayTS, MonthTS, JournalTS}) {
        connect(page->RefreshTB, &QToolButton::clicked, this, [this, page] { ArchiveRefresh(page); });
        connect(page->ReadTB, &QToolButton::clicked, this, [this, page] { ArchiveReadClick(page); });
        connect(page->ExportTB, &QToolButton::clicked, this, [this, page] { ArchiveExportClick(page); });
    }
    connect(ReportTS, &ReportPage::StartRequested, this, &TMainForm::StartReportClick);
    connect(ReportTS, &ReportPage::ExportRequested, this, &TMainForm::ReportExportClick);
    connect(ChartTS, &ChartPage::RefreshRequested, this, &TMainForm::ChartRefresh);

    // The meter pages sit in a holder so that hiding MainPanel leaves the splitter in place.
    auto *right = new QWidget;
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(MainPanel);
    Splitter2->addWidget(TreePC);
    Splitter2->addWidget(right);
    Splitter2->setStretchFactor(1, 1);

    LogPC = new QTabWidget;
    LogPC->setObjectName(QStringLiteral("LogPC"));
    LogPC->setMinimumHeight(60);
    Splitter1->addWidget(Splitter2);
    Splitter1->addWidget(LogPC);
    Splitter1->setStretchFactor(0, 1);
    setCentralWidget(Splitter1);
}

QString TMainForm::VersionText() const
{
    const QString version = QStringLiteral(QST_VERSION_TEXT);
    return version.isEmpty() ? QStringLiteral("UNKNOWN") : version;
}

void TMainForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    FormShow();
}

void TMainForm::FormShow()
{
    if (m_shown)
        return;
    m_shown = true;
    // The splitters take their stored positions once the window has its final size.
    if (QLayout *l = layout())
        l->activate();
    auto place = [](QSplitter *splitter, int first) {
        const QList<int> sizes = splitter->sizes();
        int total = 0;
        for (int size : sizes)
            total += size;
        splitter->setSizes({first, std::max(total - first, 0)});
    };
    place(Splitter1, m_sp1);
    place(Splitter2, m_sp2);
    if (!IsReadOnly())
        QDir(m_dataRoot).mkpath(QStringLiteral("DATA"));
    setWindowTitle(ui::kTitlePrefix + VersionText() + u')' + (IsReadOnly() ? ui::kReadOnlyTitle : QString()));
    RebuildTree();
    MainPanel->hide();

    const QDateTime now = QDateTime::currentDateTime();
    const QDate today = now.date();
    const QTime time = WholeSeconds(now.time());
    const QDate monthAgo = today.addDays(-30);
    const QDate firstOfMonthAgo(monthAgo.year(), monthAgo.month(), 1);
    HourTS->FromDate->setDate(today.addDays(-7));
    HourTS->ToDate->setDate(today);
    HourTS->FromTime->setTime(time);
    HourTS->ToTime->setTime(time);
    DayTS->FromDate->setDate(firstOfMonthAgo);
    DayTS->ToDate->setDate(today);
    MonthTS->FromDate->setDate(today.addDays(-365));
    MonthTS->ToDate->setDate(today);
    JournalTS->FromDate->setDate(firstOfMonthAgo);
    JournalTS->ToDate->setDate(today);
    JournalTS->FromTime->setTime(time);
    JournalTS->ToTime->setTime(time);
    ReportTS->ToCB->setDateTime(QDateTime(today, time));
    ReportTS->FromCB->setDateTime(QDateTime(today.addDays(-30), time));

    m_border.load(QStringLiteral(":/BITMAP_0.png"));
    // The 64 port locks are the exchange engine's, created with it.
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    if (IsReadOnly()) {
        event->accept();
        return;
    }
    VisualLayout v;
    v.top = y();
    v.left = x();
    v.width = width();
    v.height = height();
    v.sp1 = Splitter1->sizes().value(0);
    v.sp2 = Splitter2->sizes().value(0);
    // A registry that cannot be written must not keep the window from closing.
    try {
        WriteVisualLayout(m_registry, v);
    } catch (const StorageError &e) {
        MsgForm->ShowMessage(e.message(), 0);
    }
    event->accept();
}

// ---------------------------------------------------------------- tree

void TMainForm::RebuildTree()
{
    m_rebuilding = true;
    MainTree->clear();
    m_items.clear();
    m_model = BuildTreeModel(m_registry, !IsReadOnly());
    const QIcon icons[] = {style()->standardIcon(QStyle::SP_DirIcon), style()->standardIcon(QStyle::SP_DriveHDIcon),
                           style()->standardIcon(QStyle::SP_ComputerIcon)};
    m_items.resize(m_model.nodes.size());
    for (int i : m_model.DisplayOrder()) {
        const TreeNode &node = m_model.nodes[i];
        QTreeWidgetItem *item = node.parent < 0 ? new QTreeWidgetItem(MainTree)
                                                : new QTreeWidgetItem(m_items[node.parent]);
        item->setText(0, node.caption);
        item->setData(0, kNodeRole, i);
        item->setIcon(0, icons[node.icon == 2 ? 2 : node.IsGroup() ? 0 : 1]);
        m_items[i] = item;
    }
    UpdateOverdueMarks();
    MainTree->expandAll();
    MainTree->clearSelection();
    MainTree->setCurrentItem(nullptr);
    m_rebuilding = false;
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == MainTree->viewport() && event->type() == QEvent::MouseButtonPress)
        m_selectedBeforePress = SelectedNode();
    return QMainWindow::eventFilter(watched, event);
}

int TMainForm::SelectedNode() const
{
    const QList<QTreeWidgetItem *> selected = MainTree->selectedItems();
    if (selected.isEmpty())
        return -1;
    return selected.first()->data(0, kNodeRole).toInt();
}

int TMainForm::SelectedMeter() const
{
    const int node = SelectedNode();
    return node >= 0 && !m_model.nodes[node].IsGroup() ? m_model.nodes[node].data : 0;
}

void TMainForm::SelectNode(int node)
{
    if (QTreeWidgetItem *item = ItemOf(node)) {
        MainTree->setCurrentItem(item);
        item->setSelected(true);
        MainTree->scrollToItem(item);
    }
}

void TMainForm::MainTreeClick()
{
    const int node = SelectedNode();
    if (node < 0)
        return;
    const bool group = m_model.nodes[node].IsGroup();
    ShowMeterPages(!group);
    MainPanel->show();
    HeaderPanel->setText(m_model.nodes[node].caption);
    RefreshActivePage();
}

void TMainForm::ShowMeterPages(bool meter)
{
    // A group or the root has only its meters' summary.
    for (int i = 0; i < MainPC->count(); ++i)
        MainPC->setTabVisible(i, meter || MainPC->widget(i) == SummaryTS);
    if (!meter)
        MainPC->setCurrentWidget(SummaryTS);
}

void TMainForm::RefreshActivePage()
{
    switch (MainPC->currentIndex()) {
    case 0:
        CurrRefresh();
        break;
    case 1:
        ArchiveRefresh(HourTS);
        break;
    case 2:
        ArchiveRefresh(DayTS);
        break;
    case 3:
        ArchiveRefresh(MonthTS);
        break;
    case 4:
        ArchiveRefresh(JournalTS);
        break;
    default:
        if (MainPC->currentWidget() == ChartTab)
            ChartRefresh();
        else if (MainPC->currentWidget() == SummaryTS)
            SummaryRefresh();
        break;
    }
}

void TMainForm::ShowPopup(const QPoint &pos)
{
    QTreeWidgetItem *item = MainTree->itemAt(pos);
    if (!item)
        return;
    if (!item->isSelected()) {
        MainTree->clearSelection();
        SelectNode(item->data(0, kNodeRole).toInt());
    }
    const int node = SelectedNode();
    MenuItem1->setEnabled(node > 0 && !IsReadOnly());
    MenuItem2->setEnabled(!IsReadOnly());
    MenuItem3->setEnabled(SelectedMeter() != 0);
    MenuItem4->setVisible(node >= 0 && m_model.nodes[node].IsGroup());
    FillGapsItem->setEnabled(SelectedMeter() > 0 && !IsReadOnly() && m_engine);
    PopupMenu->popup(MainTree->viewport()->mapToGlobal(pos));
}

void TMainForm::SearchChanged()
{
    const int node = SearchTree(m_model, SearchEdit->text());
    if (node < 0)
        return;
    // The found node becomes the tree's current one; the keyboard stays in the search box.
    MainTree->clearSelection();
    SelectNode(node);
}

// ---------------------------------------------------------------- pages

void TMainForm::CurrRefresh()
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return;
    CurrTS->Show(LoadCurrentValuesView(m_dataRoot, m_registry, meter));
}

void TMainForm::ArchiveRefresh(ArchivePage *page)
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return;
    const QString serial = m_registry.file().ReadString(MeterSection(meter), reg::kSerial);
    switch (page->kind()) {
    case ArchivePage::Hourly:
        page->ShowRecords(LoadArchiveRecords(m_dataRoot, serial, ArchivePageKind::Hourly, page->Period()));
        break;
    case ArchivePage::Daily:
        page->ShowRecords(LoadArchiveRecords(m_dataRoot, serial, ArchivePageKind::Daily, page->Period()));
        break;
    case ArchivePage::Monthly:
        page->ShowRecords(LoadArchiveRecords(m_dataRoot, serial, ArchivePageKind::Monthly, page->Period()));
        break;
    case ArchivePage::Journal:
        page->ShowJournal(LoadJournalRecords(m_dataRoot, serial, page->Period()));
        break;
    }
}

void TMainForm::Timer1Tick()
{
    if (!m_engine)
        return;
    Memo1->setPlainText(m_engine->QueueLines().join(u'\n'));
    UpdateOverdueMarks();
}

MeterHealth &TMainForm::Health()
{
    if (m_engine)
        return m_engine->health();
    if (!m_health)
        m_health = std::make_unique<MeterHealth>(m_dataRoot);
    return *m_health;
}

void TMainForm::SummaryRefresh()
{
    QList<MeterSummaryRow> rows =
        BuildMeterSummary(m_dataRoot, m_registry, Health(), DayCountFromDateTime(QDateTime::currentDateTime()));
    const int node = SelectedNode();
    if (node > 0 && m_model.nodes[node].IsGroup()) {
        const QList<int> meters = MetersUnder(m_model, node);
        rows.removeIf([&meters](const MeterSummaryRow &r) { return !meters.contains(r.meter); });
    }
    SummaryTS->SetRows(std::move(rows));
    try {
        SummaryTS->SetAlarmsText(ActiveAlarmsText(AlarmMonitor::Active(m_dataRoot)));
    } catch (const StorageError &e) {
        SummaryTS->SetAlarmsText(e.message());
    }
    SummaryTS->SetMailLine(MailStatusLine(m_dataRoot));
    UpdateOverdueMarks();
}

void TMainForm::UpdateOverdueMarks()
{
    MeterHealth &health = Health();
    const int setting = health.OverdueHoursSetting();
    const double now = DayCountFromDateTime(QDateTime::currentDateTime());
    ProfileFile &ini = m_registry.file();
    for (qsizetype i = 0; i < m_model.nodes.size() && i < m_items.size(); ++i) {
        const TreeNode &node = m_model.nodes[i];
        if (node.IsGroup() || !m_items[i])
            continue;
        const QString section = MeterSection(node.data);
        quint16 serial = 0;
        const bool overdue = ParseSerial(ini.ReadString(section, reg::kSerial), &serial)
            && IsOverdue(health.Read(serial), ini.ReadString(section, reg::kSchedule), setting, now);
        // A distinct colour and a tip: the icon keeps telling meters from groups.
        m_items[i]->setForeground(0, overdue ? QBrush(QColor(0xb0, 0x00, 0x20)) : QBrush());
        m_items[i]->setToolTip(0, overdue ? ui::kOverdueTip : QString());
        m_items[i]->setData(0, Qt::UserRole + 2, overdue);
    }
}

ReportOptions TMainForm::ReportPageOptions()
{
    ReportOptions o;
    o.selection.dataRoot = m_dataRoot;
    const int meter = SelectedMeter();
    o.meter = ReadReportMeter(m_registry, meter);
    o.selection.serial = o.meter.serial;
    o.selection.heatSystem = ReportTS->TSCB->currentIndex();
    o.selection.kind = ReportTS->TypeIndex();
    o.selection.from = ReportTS->FromCB->dateTime();
    o.selection.to = ReportTS->ToCB->dateTime();
    for (int i = 0; i < kTs2Items; ++i)
        o.selection.ts2[i] = ReportTS->TS2CBG->item(i)->checkState() == Qt::Checked;
    for (int i = 0; i < kTs3Items; ++i)
        o.selection.ts3[i] = ReportTS->TS3CBG->item(i)->checkState() == Qt::Checked;
    o.orientation = ReportTS->OrientButtons->checkedId() == 1 ? 1 : 0;
    o.showIntegrators = ReportTS->ShowIntCB->isChecked();
    o.detail = ReportTS->DetailCB->isChecked();
    o.detailVisible = !ReportTS->DetailCB->isHidden();
    o.breakPages = ReportTS->BreakCB->isChecked();
    return o;
}

void TMainForm::StartReportClick()
{
    ReportRun run;
    run.options = ReportPageOptions();
    run.statement = ReportTS->MOEKCB->isChecked();
    run.saveText = ReportTS->SaveEdit->text();
    run.tempFolder = QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                         .filePath(QStringLiteral("qst-archiver-reports"));
    run.open = m_openDocument ? m_openDocument : [](const QString &file) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
    };
    m_lastReport = RunReportCommand(run, *MsgForm, *PB);
    LogWrittenFile(m_lastReport);
}

void TMainForm::ArchiveExportClick(ArchivePage *page)
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return;
    const QString serial = m_registry.file().ReadString(MeterSection(meter), reg::kSerial).trimmed();
    static const ExportKind kinds[] = {ExportKind::Hourly, ExportKind::Daily, ExportKind::Monthly, ExportKind::Journal};
    const int table = page->Tables ? page->Tables->currentIndex() : 0;
    const ArchivePeriod period = page->Period();
    const ExportTable rows = ExportArchive(m_dataRoot, serial, kinds[page->kind()], table, period.from, period.to);
    LogWrittenFile(SaveExportTable(this, MsgForm, rows, serial));
}

void TMainForm::ReportExportClick()
{
    const ReportOptions o = ReportPageOptions();
    ReportSelection s = o.selection;
    const bool statement = ReportTS->MOEKCB->isChecked();
    StatementLimits limits;
    if (statement) {
        ApplyStatementSelection(s);
        limits = ReadStatementLimits(m_dataRoot, s.serial, o.meter.duNumber, o.meter.measuringClass, s.heatSystem);
    }
    const QString refusal = CheckPeriod(s);
    if (!refusal.isEmpty()) {
        MsgForm->ShowMessage(refusal, 0);
        return;
    }
    RowList rows;
    ReportTotals totals;
    if (statement)
        BuildStatementRows(s, rows, nullptr, nullptr, &totals, limits.gmin, limits.gmax, limits.version);
    else
        BuildProtocolRows(s, rows, nullptr, nullptr, &totals);
    LogWrittenFile(SaveExportTable(this, MsgForm, ExportReportRows(rows), s.serial));
}

void TMainForm::LogWrittenFile(const QString &path)
{
    if (!path.isEmpty())
        m_log->WritePageLine(ui::kFilesLogPage,
                             FormatLogLine(QDateTime::currentDateTime(),
                                           ui::kExportWritten + u' ' + QDir::toNativeSeparators(path)));
}

void TMainForm::GroupReportsClick()
{
    const int node = SelectedNode();
    if (node < 0 || !m_model.nodes[node].IsGroup())
        return;
    const ReportOptions options = ReportPageOptions();
    QListWidget *list = options.selection.heatSystem == kColdWater ? ReportTS->TS3CBG : ReportTS->TS2CBG;
    QStringList columns;
    for (int i = 0; i < list->count(); ++i)
        columns << list->item(i)->text();
    RunGroupReportsCommand(this, m_registry, m_model.nodes[node].data, options, ReportTS->MOEKCB->isChecked(), columns);
}

void TMainForm::ChartRefresh()
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return;
    static const ArchivePageKind kinds[] = {ArchivePageKind::Hourly, ArchivePageKind::Daily, ArchivePageKind::Monthly};
    const QString serial = m_registry.file().ReadString(MeterSection(meter), reg::kSerial);
    ChartTS->Show(LoadArchiveRecords(m_dataRoot, serial, kinds[static_cast<int>(ChartTS->Interval())],
                                     {ChartTS->From(), ChartTS->To()}));
}

void TMainForm::CheckArchiveClick()
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return;
    RunArchiveCheckCommand(this, m_dataRoot, m_registry.file().ReadString(MeterSection(meter), reg::kSerial).trimmed(),
                           DayTS->FromDate->date(), DayTS->ToDate->date());
}

} // namespace qst
