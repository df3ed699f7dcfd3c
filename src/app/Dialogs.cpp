#include "Dialogs.h"

#include "AppTexts.h"
#include "ShellRules.h"

#include "link/PortLinks.h"
#include "notify/MailMessage.h"
#include "registry/Registry.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QDateEdit>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextLayout>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace qst {

namespace {

constexpr Qt::WindowFlags kFixedDialog = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kFolderButtonWidth = 110;
constexpr int kMessageMaxLines = 24;

// The OK/Cancel row at the bottom of a dialog, OK the default; OK accepts, Cancel rejects.
void AddOkCancelRow(QDialog *dialog, QVBoxLayout *layout, QPushButton *ok, QPushButton *cancel)
{
    ok->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

// Lines the text takes at the width, wrapped at words or, for a long path, anywhere.
int WrappedLineCount(const QStringList &lines, const QFont &font, int width)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    int count = 0;
    for (const QString &text : lines) {
        QTextLayout layout(text, font);
        layout.setTextOption(option);
        layout.beginLayout();
        int inBlock = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            ++inBlock;
        }
        layout.endLayout();
        count += std::max(inBlock, 1);
    }
    return std::max(count, 1);
}

QLabel *BoldLabel(const QString &text)
{
    auto *label = new QLabel(text);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

} // namespace

// ---------------------------------------------------------------- TMsgForm

TMsgForm::TMsgForm(QWidget *parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("MsgForm"));
    setModal(true);
    auto *frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_panel = frame;

    Panel1 = new QWidget(frame);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setAutoFillBackground(true);

    Memo = new QTextEdit(frame);
    Memo->setObjectName(QStringLiteral("Memo"));
    Memo->setReadOnly(true);
    Memo->setFrameStyle(QFrame::NoFrame);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo->document()->setDocumentMargin(0);
    Memo->setFocusPolicy(Qt::NoFocus);
    Memo->viewport()->setAutoFillBackground(false);
    // A path or an error the operator may want to copy.
    Memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A long path has no spaces to wrap at.
    Memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    auto button = [&](const QString &text, const char *name, int value) {
        auto *b = new QPushButton(text, frame);
        b->setObjectName(QString::fromLatin1(name));
        b->resize(kButtonWidth, kButtonHeight);
        connect(b, &QPushButton::clicked, this, [this, value] { Answer(value); });
        return b;
    };
    OkBtn = button(ui::kOk, "OkBtn", 1);
    YesBtn1 = button(ui::kYes, "YesBtn1", 1);
    NoBtn1 = button(ui::kNo, "NoBtn1", 0);
    YesBtn2 = button(ui::kYes, "YesBtn2", 1);
    NoBtn2 = button(ui::kNo, "NoBtn2", 0);
    CancelBtn2 = button(ui::kCancel, "CancelBtn2", -1);
    FolderBtn = new QPushButton(ui::kOpenFolder, frame);
    FolderBtn->setObjectName(QStringLiteral("FolderBtn"));
    FolderBtn->resize(kFolderButtonWidth, kButtonHeight);
    FolderBtn->hide();
    connect(FolderBtn, &QPushButton::clicked, this, [this] {
        const QString folder = QFileInfo(m_document).absolutePath();
        if (m_openFolder)
            m_openFolder(folder);
        else
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
}

void TMsgForm::Prepare(const QString &text, int kind)
{
    m_kind = kind;
    m_answer = 0;
    QPalette pal = Panel1->palette();
    pal.setColor(QPalette::Window, QColor(255, 199, 60));
    Panel1->setPalette(pal);

    const QStringList lines = MessageLines(text);
    Memo->setPlainText(lines.join(u'\n'));
    QTextCursor cursor(Memo->document());
    cursor.select(QTextCursor::Document);
    QTextBlockFormat format;
    format.setAlignment(lines.size() < 2 ? Qt::AlignHCenter : Qt::AlignLeft);
    format.setLineHeight(17, QTextBlockFormat::FixedHeight);
    cursor.mergeBlockFormat(format);

    // Long lines wrap: the box grows by the lines shown, not by the line ends, up to a
    // height past which the text scrolls.
    const int shown = WrappedLineCount(lines, Memo->font(), kMessageWidth - 20);
    const int n = std::min(shown, kMessageMaxLines);
    Memo->setVerticalScrollBarPolicy(shown > n ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    const MessageLayout layout = MessageLayoutFor(n);
    setFixedSize(kMessageWidth, layout.windowHeight);
    m_panel->setGeometry(0, 0, kMessageWidth, layout.windowHeight);
    Panel1->setGeometry(2, 2, kMessageWidth - 4, 13);
    Memo->setGeometry(10, 22, kMessageWidth - 20, layout.memoHeight);

    const QList<QPushButton *> all = {OkBtn, YesBtn1, NoBtn1, YesBtn2, NoBtn2, CancelBtn2};
    QList<QPushButton *> buttons;
    if (kind == 0)
        buttons = {OkBtn};
    else if (kind == 1)
        buttons = {YesBtn1, NoBtn1};
    else
        buttons = {YesBtn2, NoBtn2, CancelBtn2};
    QList<QPushButton *> row = buttons;
    if (!m_document.isEmpty())
        row.append(FolderBtn);
    for (QPushButton *b : all) {
        b->setVisible(row.contains(b));
        b->setDefault(false);
        b->setAutoDefault(false);
    }
    FolderBtn->setVisible(row.contains(FolderBtn));
    const int gap = 8;
    int total = (int(row.size()) - 1) * gap;
    for (QPushButton *b : row)
        total += b->width();
    int x = (kMessageWidth - total) / 2;
    for (QPushButton *b : row) {
        b->move(x, layout.buttonsTop);
        x += b->width() + gap;
    }
    buttons.first()->setDefault(true);
    buttons.first()->setFocus();
}

int TMsgForm::ShowDocument(const QString &text, const QString &path)
{
    m_document = path;
    const int answer = ShowMessage(text + u'\n' + QDir::toNativeSeparators(path), 0);
    m_document.clear();
    return answer;
}

int TMsgForm::ShowMessage(const QString &text, int kind)
{
    Prepare(text, kind);
    if (QScreen *s = parentWidget() ? parentWidget()->screen() : screen())
        move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    exec();
    return m_answer;
}

void TMsgForm::Answer(int value)
{
    m_answer = value;
    done(QDialog::Accepted);
}

void TMsgForm::reject()
{
    // Escape answers "Нет" for questions and "Отмена" with three buttons; "OK" alone has no escape.
    if (m_kind == 1)
        Answer(0);
    else if (m_kind == 2)
        Answer(-1);
}

// ---------------------------------------------------------------- TPB

TPB::TPB(QWidget *parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("PB"));
    auto *layout = new QVBoxLayout(this);
    PB1 = new QProgressBar;
    PB2 = new QProgressBar;
    for (QProgressBar *bar : {PB1, PB2}) {
        bar->setRange(0, 100);
        layout->addWidget(bar);
    }
    setFixedSize(360, 70);
}

// ---------------------------------------------------------------- TNewFolderForm

TNewFolderForm::TNewFolderForm(QWidget *parent) : QDialog(parent, kFixedDialog)
{
    setObjectName(QStringLiteral("NewFolderForm"));
    setWindowTitle(ui::kGroupDialogTitle);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(ui::kGroupDialogLabel));
    MainEdit = new QLineEdit;
    MainEdit->setObjectName(QStringLiteral("MainEdit"));
    layout->addWidget(MainEdit);
    OkBtn = new QPushButton(ui::kOk);
    CancelBtn = new QPushButton(ui::kGroupDialogCancel);
    AddOkCancelRow(this, layout, OkBtn, CancelBtn);
    setFixedSize(320, 110);
}

QString TNewFolderForm::Execute(const QString &currentName)
{
    MainEdit->setText(currentName);
    MainEdit->setFocus();
    return exec() == QDialog::Accepted ? MainEdit->text() : QString();
}

// ---------------------------------------------------------------- TNewCounterForm

TNewCounterForm::TNewCounterForm(TMsgForm &msg, QWidget *parent) : QDialog(parent, kFixedDialog), m_msg(msg)
{
    setObjectName(QStringLiteral("NewCounterForm"));
    setWindowTitle(ui::kMeterDialogTitle);

    auto edit = [](const char *name) {
        auto *e = new QLineEdit;
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    NameEdit = edit("NameEdit");
    SerialEdit = edit("SerialEdit");
    AbonEdit = edit("AbonEdit");
    PersonEdit = edit("PersonEdit");
    PhoneEdit = edit("PhoneEdit");
    MailEdit = edit("MailEdit");
    AddressEdit = edit("AddressEdit");
    DUEdit = edit("DUEdit");
    NetAdrEdit = edit("NetAdrEdit");
    ModemNumEdit = edit("ModemNumEdit");
    ClassCB = new QComboBox;
    ClassCB->setObjectName(QStringLiteral("ClassCB"));
    ClassCB->addItems({ui::kClassB2, ui::kClassB});
    ClassCB->setCurrentIndex(0);
    PortCB = new QComboBox;
    PortCB->setObjectName(QStringLiteral("PortCB"));
    for (int p = 1; p <= 32; ++p)
        PortCB->addItem(QString::number(p));
    PortCB->setCurrentIndex(-1);
    DevTypeCB = new QComboBox;
    DevTypeCB->setObjectName(QStringLiteral("DevTypeCB"));
    DevTypeCB->addItems({ui::kDevType1, ui::kDevType2});
    DevTypeCB->setCurrentIndex(0);
    ModemCB = new QCheckBox(ui::kModem);
    ModemCB->setObjectName(QStringLiteral("ModemCB"));
    SchList = new QListWidget;
    SchList->setObjectName(QStringLiteral("SchList"));
    SchList->setFixedHeight(90);
    HourSpin = new QSpinBox;
    HourSpin->setRange(0, 23);
    MinSpin = new QSpinBox;
    MinSpin->setRange(0, 59);
    AddBtn = new QPushButton(ui::kAdd);
    DelBtn = new QPushButton(ui::kDelete);
    OkBtn = new QPushButton(ui::kOk);
    CancelBtn = new QPushButton(ui::kCancel);
    OkBtn->setDefault(true);

    auto *left = new QVBoxLayout;
    auto labelled = [](QVBoxLayout *column, const QString &caption, QWidget *w) {
        column->addWidget(new QLabel(caption));
        column->addWidget(w);
    };
    labelled(left, ui::kName, NameEdit);
    labelled(left, ui::kSerial, SerialEdit);
    labelled(left, ui::kAbon, AbonEdit);
    labelled(left, ui::kPerson, PersonEdit);
    labelled(left, ui::kPhone, PhoneEdit);
    labelled(left, ui::kMeterMail, MailEdit);
    labelled(left, ui::kAddress, AddressEdit);
    labelled(left, ui::kDU, DUEdit);
    labelled(left, ui::kClass, ClassCB);
    left->addStretch();

    auto *right = new QVBoxLayout;
    right->addWidget(BoldLabel(ui::kNote1));
    right->addWidget(BoldLabel(ui::kNote2));
    right->addWidget(new QLabel(ui::kNetAddress));
    auto *adrRow = new QHBoxLayout;
    adrRow->addWidget(NetAdrEdit);
    adrRow->addWidget(ModemCB);
    right->addLayout(adrRow);
    right->addWidget(new QLabel(ui::kPort));
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(PortCB);
    portRow->addWidget(ModemNumEdit);
    right->addLayout(portRow);
    labelled(right, ui::kDevType, DevTypeCB);
    right->addWidget(new QLabel(ui::kSchedule));
    auto *schRow = new QHBoxLayout;
    schRow->addWidget(SchList);
    auto *schControls = new QGridLayout;
    schControls->addWidget(HourSpin, 0, 0);
    schControls->addWidget(new QLabel(ui::kHours), 0, 1);
    schControls->addWidget(MinSpin, 1, 0);
    schControls->addWidget(new QLabel(ui::kMinutes), 1, 1);
    schControls->addWidget(AddBtn, 2, 0, 1, 2);
    schControls->addWidget(DelBtn, 3, 0, 1, 2);
    schRow->addLayout(schControls);
    right->addLayout(schRow);
    right->addStretch();

    auto *columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addSpacing(12);
    columns->addLayout(right, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(buttons);

    connect(AddBtn, &QPushButton::clicked, this, [this] {
        SchList->addItem(QStringLiteral("%1:%2")
                             .arg(HourSpin->value(), 2, 10, QLatin1Char('0'))
                             .arg(MinSpin->value(), 2, 10, QLatin1Char('0')));
    });
    connect(DelBtn, &QPushButton::clicked, this, [this] {
        const QList<QListWidgetItem *> selected = SchList->selectedItems();
        if (!selected.isEmpty())
            delete SchList->takeItem(SchList->row(selected.first()));
    });
    connect(ModemCB, &QCheckBox::clicked, this, [this] { ModemNumEdit->setEnabled(ModemCB->isChecked()); });
    connect(OkBtn, &QPushButton::clicked, this, &TNewCounterForm::OkBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    ModemNumEdit->setEnabled(false);
    setFixedSize(sizeHint().expandedTo(QSize(600, 0)));
}

QString TNewCounterForm::CheckEntries() const
{
    bool ok = false;
    if (NameEdit->text().trimmed().isEmpty())
        return ui::kNeedName;
    if (SerialEdit->text().trimmed().isEmpty())
        return ui::kNeedSerial;
    SerialEdit->text().trimmed().toInt(&ok, 10);
    if (!ok)
        return ui::kBadSerial;
    if (NetAdrEdit->text().trimmed().isEmpty())
        return ui::kNeedNetAddress;
    NetAdrEdit->text().trimmed().toInt(&ok, 10);
    if (!ok)
        return ui::kBadNetAddress;
    if (PortCB->currentIndex() < 0)
        return ui::kNeedPort;
    QString mailError;
    ParseMailList(MailEdit->text(), &mailError);
    if (!mailError.isEmpty())
        return mailError;
    return MeterRecordTextError(Record());
}

void TNewCounterForm::OkBtnClick()
{
    const QString message = CheckEntries();
    if (!message.isEmpty()) {
        m_msg.ShowMessage(message, 0);
        return;
    }
    accept();
}

QString TNewCounterForm::Run()
{
    HourSpin->setValue(0);
    MinSpin->setValue(0);
    NameEdit->setFocus();
    return exec() == QDialog::Accepted ? SerialEdit->text() : QString();
}

QString TNewCounterForm::ExecuteNew()
{
    for (QLineEdit *e : {NameEdit, SerialEdit, AbonEdit, PersonEdit, PhoneEdit, AddressEdit, DUEdit, NetAdrEdit,
                         ModemNumEdit, MailEdit})
        e->clear();
    ModemNumEdit->setEnabled(false);
    ModemCB->setChecked(false);
    SchList->clear();
    return Run();
}

QString TNewCounterForm::ExecuteEdit()
{
    return Run();
}

void TNewCounterForm::Fill(const MeterRecord &r)
{
    NameEdit->setText(r.name);
    SerialEdit->setText(r.serial);
    NetAdrEdit->setText(r.address);
    ModemNumEdit->setText(r.modemNumber);
    AbonEdit->setText(r.abonentNo);
    PersonEdit->setText(r.person);
    PhoneEdit->setText(r.phone);
    ClassCB->setCurrentIndex(r.measuringClass >= 0 && r.measuringClass < ClassCB->count() ? r.measuringClass : -1);
    AddressEdit->setText(r.physAddress);
    DUEdit->setText(r.du);
    PortCB->setCurrentIndex(r.port >= 1 && r.port <= PortCB->count() ? r.port - 1 : -1);
    DevTypeCB->setCurrentIndex(r.devType >= 1 && r.devType <= DevTypeCB->count() ? r.devType - 1 : -1);
    ModemCB->setChecked(r.modem);
    SchList->clear();
    SchList->addItems(r.schedule);
    ModemNumEdit->setEnabled(ModemCB->isChecked());
}

MeterRecord TNewCounterForm::Record() const
{
    MeterRecord r;
    r.name = NameEdit->text();
    r.serial = SerialEdit->text();
    r.address = NetAdrEdit->text();
    r.modemNumber = ModemNumEdit->text();
    r.abonentNo = AbonEdit->text();
    r.person = PersonEdit->text();
    r.phone = PhoneEdit->text();
    r.measuringClass = ClassCB->currentIndex();
    r.physAddress = AddressEdit->text();
    r.du = DUEdit->text();
    r.port = PortCB->currentIndex() + 1;
    r.devType = DevTypeCB->currentIndex() + 1;
    r.modem = ModemCB->isChecked();
    for (int i = 0; i < SchList->count(); ++i)
        r.schedule << SchList->item(i)->text();
    return r;
}

// ---------------------------------------------------------------- TClearForm

TClearForm::TClearForm(QWidget *parent) : QDialog(parent, kFixedDialog)
{
    setObjectName(QStringLiteral("ClearForm"));
    setWindowTitle(ui::kClearTitle);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(ui::kClearBefore));
    JFromDate = new QDateEdit;
    JFromDate->setObjectName(QStringLiteral("JFromDate"));
    JFromDate->setCalendarPopup(true);
    JFromDate->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    layout->addWidget(JFromDate);
    RzCheckBox1 = new QCheckBox(ui::kJournalPage);
    RzCheckBox2 = new QCheckBox(ui::kHourPage);
    RzCheckBox3 = new QCheckBox(ui::kDayPage);
    RzCheckBox4 = new QCheckBox(ui::kMonthPage);
    for (QCheckBox *c : {RzCheckBox1, RzCheckBox2, RzCheckBox3, RzCheckBox4})
        layout->addWidget(c);
    OkBtn = new QPushButton(ui::kClearOk);
    CancelBtn = new QPushButton(ui::kCancel);
    AddOkCancelRow(this, layout, OkBtn, CancelBtn);
    setFixedSize(sizeHint().expandedTo(QSize(240, 0)));
}

void TClearForm::ResetDate()
{
    JFromDate->setDate(QDate::currentDate().addDays(-183));
}

ClearChoice TClearForm::Choice() const
{
    ClearChoice c;
    c.journal = RzCheckBox1->isChecked();
    c.hourly = RzCheckBox2->isChecked();
    c.daily = RzCheckBox3->isChecked();
    c.monthly = RzCheckBox4->isChecked();
    return c;
}

bool TClearForm::Execute(QDate *cut, ClearChoice *choice)
{
    ResetDate();
    if (exec() != QDialog::Accepted)
        return false;
    *cut = JFromDate->date();
    *choice = Choice();
    return true;
}

// ---------------------------------------------------------------- TPortsForm

TPortsForm::TPortsForm(Registry &registry, QWidget *parent, TMsgForm *msg)
    : QDialog(parent)
    , m_registry(registry)
    , m_msg(msg)
{
    setObjectName(QStringLiteral("PortsForm"));
    setWindowTitle(ui::kPortsTitle);
    auto *layout = new QVBoxLayout(this);
    PortTable = new QTableWidget(64, 3);
    PortTable->setHorizontalHeaderLabels({ui::kPortsNumber, ui::kPortsDevice, ui::kPortsFast});
    PortTable->horizontalHeaderItem(2)->setToolTip(ui::kPortsFastHint);
    PortTable->verticalHeader()->hide();
    PortTable->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    layout->addWidget(PortTable);
    ProblemLabel = new QLabel;
    ProblemLabel->setObjectName(QStringLiteral("ProblemLabel"));
    ProblemLabel->setWordWrap(true);
    ProblemLabel->setStyleSheet(QStringLiteral("color: #b00000"));
    ProblemLabel->hide();
    layout->addWidget(ProblemLabel);
    auto *buttons = new QHBoxLayout;
    auto *ok = new QPushButton(ui::kOk);
    auto *cancel = new QPushButton(ui::kCancel);
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, [this] {
        if (Save())
            accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    resize(560, 520);
}

void TPortsForm::Load()
{
    QStringList detected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        detected << info.systemLocation();
    for (int port = 1; port <= 64; ++port) {
        auto *number = new QTableWidgetItem(QString::number(port));
        number->setFlags(Qt::ItemIsEnabled);
        PortTable->setItem(port - 1, 0, number);
        auto *device = new QComboBox;
        device->setEditable(true);
        device->addItem(QString());
        device->addItems(detected);
        device->setCurrentText(m_registry.file().ReadString(reg::kPorts, QString::number(port)));
#ifdef Q_OS_WIN
        device->lineEdit()->setPlaceholderText(QStringLiteral("COM%1").arg(port));
#else
        device->lineEdit()->setPlaceholderText(QStringLiteral("/dev/ttyS%1").arg(port - 1));
#endif
        PortTable->setCellWidget(port - 1, 1, device);
        auto *fast = new QCheckBox;
        fast->setObjectName(QStringLiteral("FastCB%1").arg(port));
        fast->setToolTip(ui::kPortsFastHint);
        fast->setChecked(m_registry.file().ReadInteger(reg::kPorts, FastFramingKey(port), 0) != 0);
        PortTable->setCellWidget(port - 1, 2, fast);
    }
    PortTable->resizeColumnToContents(0);
    PortTable->resizeColumnToContents(2);
}

bool TPortsForm::Save()
{
    // Every address is checked before anything is written.
    for (int port = 1; port <= 64; ++port) {
        auto *device = qobject_cast<QComboBox *>(PortTable->cellWidget(port - 1, 1));
        const QString text = device ? device->currentText().trimmed() : QString();
        QString problem = PortMappingProblem(text);
        if (problem.isEmpty() && !text.isEmpty() && !IsNetworkAddress(text))
            problem = SerialDeviceProblem(text);
        if (problem.isEmpty())
            continue;
        const QString message = ui::kPortsBadAddress.arg(port).arg(problem);
        ProblemLabel->setText(message);
        ProblemLabel->show();
        PortTable->setCurrentCell(port - 1, 1);
        device->setFocus();
        if (m_msg)
            m_msg->ShowMessage(message, 0);
        return false;
    }
    ProblemLabel->hide();
    // A device not plugged in yet may be meant: the operator is asked, once for all of them.
    QStringList missing;
    for (int port = 1; port <= 64; ++port) {
        auto *device = qobject_cast<QComboBox *>(PortTable->cellWidget(port - 1, 1));
        const QString text = device ? device->currentText().trimmed() : QString();
        const QString stored = m_registry.file().ReadString(reg::kPorts, QString::number(port));
        if (text.isEmpty() || IsNetworkAddress(text) || text == stored)
            continue;
        const QString path = text.startsWith(u'/') ? text : QStringLiteral("/dev/") + text;
#ifndef Q_OS_WIN
        if (!QFileInfo::exists(path))
            missing << ui::kPortsBadAddress.arg(port).arg(path);
#endif
    }
    if (!missing.isEmpty() && m_msg) {
        const QString question = ui::kPortsMissing + u'\n' + missing.join(u'\n') + u'\n' + ui::kPortsSaveAnyway;
        if (m_msg->ShowMessage(question, 1) != 1)
            return false;
    }
    for (int port = 1; port <= 64; ++port) {
        auto *device = qobject_cast<QComboBox *>(PortTable->cellWidget(port - 1, 1));
        if (!device)
            continue;
        const QString key = QString::number(port);
        const QString text = device->currentText().trimmed();
        if (text != m_registry.file().ReadString(reg::kPorts, key))
            m_registry.file().WriteString(reg::kPorts, key, text);
        auto *fast = qobject_cast<QCheckBox *>(PortTable->cellWidget(port - 1, 2));
        const QString fastKey = FastFramingKey(port);
        const bool stored = m_registry.file().ReadInteger(reg::kPorts, fastKey, 0) != 0;
        // A port never switched on keeps no key.
        if (fast && fast->isChecked() != stored)
            m_registry.file().WriteString(reg::kPorts, fastKey, fast->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return true;
}

} // namespace qst
