#include "Pages.h"

#include "AppTexts.h"
#include "ShellRules.h"

#include "common/RegionalFormat.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimeEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace qst {

namespace {

QToolButton *ToolButton(const QString &text, const QString &name)
{
    auto *b = new QToolButton;
    b->setText(text);
    b->setObjectName(name);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setAutoRaise(true);
    return b;
}

QTableView *MakeTable(QAbstractItemModel *model)
{
    auto *view = new QTableView;
    view->setModel(model);
    view->setShowGrid(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setMinimumSectionSize(20);
    view->setWordWrap(false);
    return view;
}

QDateEdit *DatePicker(const QString &name)
{
    auto *d = new QDateEdit;
    d->setObjectName(name);
    d->setCalendarPopup(true);
    d->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    return d;
}

QTimeEdit *TimePicker(const QString &name)
{
    auto *t = new QTimeEdit;
    t->setObjectName(name);
    t->setDisplayFormat(QStringLiteral("H:mm:ss"));
    return t;
}

} // namespace

// ---------------------------------------------------------------- CurrentValuesPage

CurrentValuesPage::CurrentValuesPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("CurrTS"));
    auto *layout = new QVBoxLayout(this);
    auto *toolbar = new QHBoxLayout;
    CurrRefreshTB = ToolButton(ui::kRefresh, QStringLiteral("CurrRefreshTB"));
    CurrReadTB = ToolButton(ui::kReadFromDevice, QStringLiteral("CurrReadTB"));
    toolbar->addWidget(CurrRefreshTB);
    toolbar->addWidget(CurrReadTB);
    toolbar->addStretch();
    layout->addLayout(toolbar);

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(ui::kReceivedAt));
    QLineEdit *dt = AddBox(QStringLiteral("DT"));
    dt->setMinimumWidth(160);
    top->addWidget(dt);
    top->addStretch();
    layout->addLayout(top);

    auto column = [this](const QString &title, std::span<const CurrentValueRow> rows) {
        auto *box = new QGroupBox(title);
        auto *grid = new QGridLayout(box);
        grid->setVerticalSpacing(2);
        const int count = int(rows.size());
        for (int i = 0; i < count; ++i) {
            grid->addWidget(new QLabel(QString::fromUtf16(rows[i].caption)), i, 0);
            grid->addWidget(AddBox(QString::fromLatin1(rows[i].key)), i, 1);
        }
        grid->setRowStretch(count, 1);
        return box;
    };
    auto *columns = new QHBoxLayout;
    columns->addWidget(column(ui::kHeatSystem1, CurrentValueRows(CurrentValueGroup::System1)));
    columns->addWidget(column(ui::kHeatSystem2, CurrentValueRows(CurrentValueGroup::System2)));

    auto *right = new QVBoxLayout;
    right->addWidget(column(ui::kColdWater, CurrentValueRows(CurrentValueGroup::ColdWater)));
    auto *limits = new QGroupBox;
    auto *grid = new QGridLayout(limits);
    grid->setVerticalSpacing(2);
    m_ts1Title = new QLabel(ui::kTs1);
    m_ts2Title = new QLabel(ui::kTs2);
    grid->addWidget(m_ts1Title, 0, 1, Qt::AlignHCenter);
    grid->addWidget(m_ts2Title, 0, 2, Qt::AlignHCenter);
    m_v2Only << m_ts1Title << m_ts2Title;
    const std::span<const CurrentValueRow> limitRows = CurrentValueRows(CurrentValueGroup::Limits);
    for (int i = 0; i < int(limitRows.size()); ++i) {
        const QString stem = QString::fromLatin1(limitRows[i].key);
        auto *caption = new QLabel(QString::fromUtf16(limitRows[i].caption));
        QLineEdit *b1 = AddBox(stem + u'1');
        QLineEdit *b2 = AddBox(stem + u'2');
        grid->addWidget(caption, i + 1, 0);
        grid->addWidget(b1, i + 1, 1);
        grid->addWidget(b2, i + 1, 2);
        if (i >= kLimitsShownAlways)
            m_v2Only << caption << b1 << b2;
    }
    grid->setRowStretch(int(limitRows.size()) + 1, 1);
    limits->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    right->addWidget(limits);
    right->addStretch();
    columns->addLayout(right);
    columns->addStretch();
    layout->addLayout(columns);
    layout->addStretch();
}

QLineEdit *CurrentValuesPage::AddBox(const QString &key)
{
    auto *box = new QLineEdit;
    box->setObjectName(key);
    box->setReadOnly(true);
    box->setFixedWidth(110);
    m_boxes.insert(key, box);
    return box;
}

void CurrentValuesPage::Show(const CurrentValuesView &view)
{
    for (auto it = view.texts.cbegin(); it != view.texts.cend(); ++it) {
        if (QLineEdit *box = m_boxes.value(it.key())) {
            box->setText(it.value());
            box->setCursorPosition(0);
        }
    }
    for (QWidget *w : m_v2Only)
        w->setVisible(view.allLimitsVisible);
}

// ---------------------------------------------------------------- ArchivePage

ArchivePage::ArchivePage(Kind kind, QWidget *parent) : QWidget(parent), m_kind(kind)
{
    static const char *const prefixes[] = {"H", "D", "M", "J"};
    const QString p = QString::fromLatin1(prefixes[kind]);
    static const char *const pageNames[] = {"HourTS", "DayTS", "MonthTS", "JournalTS"};
    setObjectName(QString::fromLatin1(pageNames[kind]));

    auto *layout = new QVBoxLayout(this);
    // The period on one row, the commands on another: a tool bar outside a main window folds
    // what does not fit behind an extension button that opens nothing, so each row is kept
    // narrow enough for a window of 1024 pixels.
    auto *toolbar = new QToolBar;
    toolbar->setMovable(false);
    toolbar->setObjectName(p + QStringLiteral("PeriodBar"));
    auto *commands = new QToolBar;
    commands->setMovable(false);
    commands->setObjectName(p + QStringLiteral("CommandBar"));
    RefreshTB = ToolButton(ui::kRefresh, p + QStringLiteral("RefreshTB"));
    toolbar->addWidget(RefreshTB);
    toolbar->addWidget(new QLabel(ui::kFrom));
    FromDate = DatePicker(p + QStringLiteral("FromDate"));
    toolbar->addWidget(FromDate);
    const bool withTime = kind == Hourly || kind == Journal;
    if (withTime) {
        FromTime = TimePicker(p + QStringLiteral("FromTime"));
        toolbar->addWidget(FromTime);
    }
    toolbar->addWidget(new QLabel(ui::kTo));
    ToDate = DatePicker(p + QStringLiteral("ToDate"));
    toolbar->addWidget(ToDate);
    if (withTime) {
        ToTime = TimePicker(p + QStringLiteral("ToTime"));
        toolbar->addWidget(ToTime);
    }
    ReadTB = ToolButton(ui::kRead, kind == Journal ? QStringLiteral("JRereadTB") : p + QStringLiteral("ReadTB"));
    commands->addWidget(ReadTB);
    if (kind == Journal) {
        JRecSE = new QSpinBox;
        JRecSE->setObjectName(QStringLiteral("JRecSE"));
        JRecSE->setRange(1, 1000);
        JRecSE->setValue(1);
        commands->addWidget(JRecSE);
        commands->addWidget(new QLabel(ui::kRecords));
    } else {
        commands->addWidget(new QLabel(ui::kReread));
        RereadCB = new QCheckBox;
        RereadCB->setObjectName(p + QStringLiteral("RereadCB"));
        commands->addWidget(RereadCB);
        commands->addWidget(new QLabel(ui::kMissingOnly));
        MissingCB = new QCheckBox;
        MissingCB->setObjectName(p + QStringLiteral("MissingCB"));
        MissingCB->setChecked(true);
        commands->addWidget(MissingCB);
    }
    commands->addSeparator();
    ExportTB = ToolButton(ui::kExport, p + QStringLiteral("ExportTB"));
    commands->addWidget(ExportTB);
    layout->addWidget(toolbar);
    layout->addWidget(commands);

    if (kind == Journal) {
        JournalModel = new JournalTableModel(this);
        JournalView = MakeTable(JournalModel);
        layout->addWidget(JournalView);
        return;
    }
    Tables = new QTabWidget;
    const QString titles[] = {ui::kHeatSystem1, ui::kHeatSystem2, ui::kColdWater};
    const ArchiveTable tables[] = {ArchiveTable::HeatSystem1, ArchiveTable::HeatSystem2, ArchiveTable::ColdWater};
    for (int i = 0; i < 3; ++i) {
        Models[i] = new ArchiveTableModel(tables[i], kind != Hourly, this);
        Views[i] = MakeTable(Models[i]);
        Tables->addTab(Views[i], titles[i]);
    }
    layout->addWidget(Tables);
}

ArchivePeriod ArchivePage::Period() const
{
    switch (m_kind) {
    case Hourly:
        return HourlyPeriod(FromDate->date(), FromTime->time(), ToDate->date(), ToTime->time());
    case Daily:
        return DailyPeriod(FromDate->date(), ToDate->date());
    case Monthly:
        return MonthlyPeriod(FromDate->date(), ToDate->date());
    case Journal:
        break;
    }
    return JournalPeriod(FromDate->date(), FromTime->time(), ToDate->date(), ToTime->time());
}

void ArchivePage::ShowRecords(const QList<ArchiveRecord> &records)
{
    for (int i = 0; i < 3; ++i) {
        Models[i]->SetRecords(records);
        Views[i]->resizeColumnsToContents();
    }
}

void ArchivePage::ShowJournal(const QList<JARecord> &records)
{
    JournalModel->SetRecords(records);
    JournalView->resizeColumnsToContents();
}

// ---------------------------------------------------------------- ReportPage

ReportPage::ReportPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ReportTS"));
    auto *layout = new QGridLayout(this);

    auto *left = new QVBoxLayout;
    left->addWidget(new QLabel(ui::kHeatSystemLabel));
    TSCB = new QComboBox;
    TSCB->setObjectName(QStringLiteral("TSCB"));
    TSCB->addItems({ui::kTs1, ui::kTs2, ui::kColdWater});
    TSCB->setCurrentIndex(0);
    left->addWidget(TSCB);

    TypeRG = new QGroupBox(ui::kReportKind);
    TypeRG->setObjectName(QStringLiteral("TypeRG"));
    TypeButtons = new QButtonGroup(this);
    auto *typeLayout = new QVBoxLayout(TypeRG);
    const QString kinds[] = {ui::kHourly, ui::kDaily, ui::kMonthly, ui::kJournal};
    for (int i = 0; i < 4; ++i) {
        auto *b = new QRadioButton(kinds[i]);
        TypeButtons->addButton(b, i);
        typeLayout->addWidget(b);
    }
    TypeButtons->button(1)->setChecked(true);
    left->addWidget(TypeRG);

    auto *period = new QGridLayout;
    FromCB = new QDateTimeEdit;
    FromCB->setObjectName(QStringLiteral("FromCB"));
    ToCB = new QDateTimeEdit;
    ToCB->setObjectName(QStringLiteral("ToCB"));
    for (QDateTimeEdit *e : {FromCB, ToCB}) {
        // The pickers show the date but keep the time of day they were set to.
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    }
    period->addWidget(new QLabel(ui::kPeriodFrom), 0, 0);
    period->addWidget(FromCB, 0, 1);
    period->addWidget(new QLabel(ui::kPeriodTo), 1, 0);
    period->addWidget(ToCB, 1, 1);
    left->addLayout(period);

    OrientRG = new QGroupBox(ui::kOrientation);
    OrientRG->setObjectName(QStringLiteral("OrientRG"));
    OrientButtons = new QButtonGroup(this);
    auto *orientLayout = new QVBoxLayout(OrientRG);
    auto *portrait = new QRadioButton(ui::kPortrait);
    auto *landscape = new QRadioButton(ui::kLandscape);
    OrientButtons->addButton(portrait, 0);
    OrientButtons->addButton(landscape, 1);
    orientLayout->addWidget(portrait);
    orientLayout->addWidget(landscape);
    portrait->setChecked(true);
    left->addWidget(OrientRG);
    left->addStretch();

    auto checkList = [](const QStringList &items) {
        auto *list = new QListWidget;
        for (const QString &text : items) {
            auto *item = new QListWidgetItem(text, list);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
        }
        return list;
    };
    TS2Box = new QGroupBox;
    TS2Box->setObjectName(QStringLiteral("TS2CBG"));
    TS2CBG = checkList({QStringLiteral("Q (ГКал)"), QStringLiteral("М1 (тонн)"), QStringLiteral("М2 (тонн)"),
                        QStringLiteral("М2-М1"), QStringLiteral("V1 (м^3)"), QStringLiteral("V2 (м^3)"),
                        QStringLiteral("V2-V1"), QStringLiteral("T1 (°C)"), QStringLiteral("T2 (°C)"),
                        QStringLiteral("T1-T2 (°C)"), QStringLiteral("P1 (кгс/см^2)"), QStringLiteral("P2 (кгс/см^2)"),
                        QStringLiteral("Время нормальной работы (ВНР)"), QStringLiteral("Время отсутствия счёта (ВОС)"),
                        QStringLiteral("НС"), QStringLiteral("Tхв"), QStringLiteral("Pхв")});
    (new QVBoxLayout(TS2Box))->addWidget(TS2CBG);
    TS3Box = new QGroupBox;
    TS3Box->setObjectName(QStringLiteral("TS3CBG"));
    TS3CBG = checkList({QStringLiteral("Vхв"), QStringLiteral("Тхв"), QStringLiteral("Рхв"),
                        QStringLiteral("Время нормальной работы (ВНР)"), QStringLiteral("Время отсутствия счёта (ВОС)"),
                        QStringLiteral("НС")});
    (new QVBoxLayout(TS3Box))->addWidget(TS3CBG);
    TS3Box->setVisible(false);

    auto *middle = new QVBoxLayout;
    middle->addWidget(TS2Box);
    middle->addWidget(TS3Box);

    auto *right = new QVBoxLayout;
    ShowIntCB = new QCheckBox(ui::kShowIntegrators);
    ShowIntCB->setObjectName(QStringLiteral("ShowIntCB"));
    ShowIntCB->setChecked(true);
    DetailCB = new QCheckBox(ui::kDetail);
    DetailCB->setObjectName(QStringLiteral("DetailCB"));
    BreakCB = new QCheckBox(ui::kBreakPages);
    BreakCB->setObjectName(QStringLiteral("BreakCB"));
    BreakCB->setChecked(true);
    MOEKCB = new QCheckBox(ui::kMoek);
    MOEKCB->setObjectName(QStringLiteral("MOEKCB"));
    for (QCheckBox *c : {ShowIntCB, DetailCB, BreakCB, MOEKCB})
        right->addWidget(c);
    right->addWidget(new QLabel(ui::kReportFile));
    auto *saveRow = new QHBoxLayout;
    SaveEdit = new QLineEdit;
    SaveEdit->setObjectName(QStringLiteral("SaveEdit"));
    SaveEditBtn = new QPushButton(QStringLiteral("..."));
    SaveEditBtn->setObjectName(QStringLiteral("SaveEditBtn"));
    saveRow->addWidget(SaveEdit);
    saveRow->addWidget(SaveEditBtn);
    right->addLayout(saveRow);
    StartRepBtn = new QPushButton(ui::kStart);
    StartRepBtn->setObjectName(QStringLiteral("StartRepBtn"));
    right->addWidget(StartRepBtn);
    ExportBtn = new QPushButton(ui::kExport);
    ExportBtn->setObjectName(QStringLiteral("ExportBtn"));
    right->addWidget(ExportBtn);
    Image1 = new QLabel;
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setVisible(false);
    right->addWidget(Image1);
    right->addStretch();

    layout->addLayout(left, 0, 0);
    layout->addLayout(middle, 0, 1);
    layout->addLayout(right, 0, 2);
    layout->setColumnStretch(1, 1);

    connect(TypeButtons, &QButtonGroup::idClicked, this, [this] { TypeRGClick(); });
    connect(TSCB, &QComboBox::activated, this, [this] { TypeRGClick(); });
    connect(MOEKCB, &QCheckBox::toggled, this, [this] { MOEKCBClick(); });
    connect(SaveEditBtn, &QPushButton::clicked, this, [this] {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("docx"));
        dialog.setNameFilter(ui::kSaveFilter);
        // The report asks its own overwrite question when it saves.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            SaveEdit->setText(dialog.selectedFiles().first());
    });
    connect(StartRepBtn, &QPushButton::clicked, this, &ReportPage::StartRequested);
    connect(ExportBtn, &QPushButton::clicked, this, &ReportPage::ExportRequested);
}

int ReportPage::TypeIndex() const
{
    return TypeButtons->checkedId();
}

void ReportPage::SetTypeIndex(int index)
{
    if (QAbstractButton *b = TypeButtons->button(index))
        b->setChecked(true);
}

void ReportPage::TypeRGClick()
{
    const int system = TSCB->currentIndex();
    const ReportVisibility v = ReportVisibilityFor(system, TypeIndex());
    TS2Box->setVisible(v.ts2);
    TS3Box->setVisible(v.ts3);
    ShowIntCB->setVisible(v.showInt);
    DetailCB->setVisible(v.detail);
    BreakCB->setVisible(v.breakPages);
    if (system != 2 && TypeIndex() != 3) {
        QListWidgetItem *item = TS2CBG->item(6);
        item->setFlags(item->flags() | Qt::ItemIsEnabled);
    }
}

void ReportPage::MOEKCBClick()
{
    const bool c = MOEKCB->isChecked();
    for (QWidget *w : {static_cast<QWidget *>(TS2Box), static_cast<QWidget *>(TS3Box),
                       static_cast<QWidget *>(TypeRG), static_cast<QWidget *>(OrientRG),
                       static_cast<QWidget *>(TSCB)})
        w->setEnabled(!c);
    if (c) {
        BreakCB->setChecked(false);
        DetailCB->setChecked(false);
        for (int i = 0; i < TS2CBG->count(); ++i) {
            const bool set = (i <= 3) || (i >= 7 && i <= 13);
            TS2CBG->item(i)->setCheckState(set ? Qt::Checked : Qt::Unchecked);
        }
        SetTypeIndex(1);
        if (TSCB->currentIndex() == 2)
            TSCB->setCurrentIndex(0);
        // The field groups follow the new kind and heat system; the options stay hidden below.
        TypeRGClick();
    }
    for (QCheckBox *box : {BreakCB, ShowIntCB, DetailCB})
        box->setVisible(!c);
}

// ---------------------------------------------------------------- LogPane

QPlainTextEdit *LogPane::Page(int port) const
{
    return Page(ui::kLogPage + QString::number(port));
}

QPlainTextEdit *LogPane::Page(const QString &caption) const
{
    for (int i = 0; i < m_pages->count(); ++i) {
        if (m_pages->tabText(i) == caption)
            return qobject_cast<QPlainTextEdit *>(m_pages->widget(i));
    }
    return nullptr;
}

void LogPane::WriteLogLine(int port, const QString &line)
{
    WritePageLine(ui::kLogPage + QString::number(port), line);
}

void LogPane::WritePageLine(const QString &caption, const QString &line)
{
    QPlainTextEdit *page = Page(caption);
    if (!page) {
        page = new QPlainTextEdit;
        page->setReadOnly(true);
        page->setLineWrapMode(QPlainTextEdit::NoWrap);
        // The 202nd line pushes out the first.
        page->setMaximumBlockCount(kLogPageMaxLines);
        m_pages->addTab(page, caption);
    }
    page->appendPlainText(line);
    if (caption == m_follow && m_pages->currentWidget() != page)
        m_pages->setCurrentWidget(page);
}

void LogPane::Follow(int port)
{
    m_follow = ui::kLogPage + QString::number(port);
    if (QPlainTextEdit *page = Page(port))
        m_pages->setCurrentWidget(page);
}

void LogPane::WriteLog(int port, const QString &text)
{
    WriteLogLine(port, FormatLogLine(QDateTime::currentDateTime(), text));
}

} // namespace qst
