#include "TSetModemForm.h"

#include "exchange/ModemSetup.h"
#include "link/LinkClock.h"
#include "link/PortLinks.h"
#include "link/QtSerialPortLink.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace qst {

TSetModemForm::TSetModemForm(const QString &dataRoot, PortInUse portInUse, ShowMessage showMessage, QWidget *parent)
    : QDialog(parent)
    , m_dataRoot(dataRoot)
    , m_portInUse(std::move(portInUse))
    , m_showMessage(std::move(showMessage))
{
    setObjectName(QStringLiteral("SetModemForm"));
    setWindowTitle(modemtexts::kCaption);
    setModal(false);

    auto *layout = new QVBoxLayout(this);
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(new QLabel(modemtexts::kPortLabel));
    PortCB = new QComboBox;
    PortCB->setObjectName(QStringLiteral("PortCB"));
    for (int port = 1; port <= kMaxPortNumber; ++port)
        PortCB->addItem(QString::number(port));
    PortCB->setCurrentIndex(0);
    portRow->addWidget(PortCB);
    portRow->addStretch();
    layout->addLayout(portRow);

    RadioGroup1 = new QGroupBox(modemtexts::kDeviceGroup);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    auto *choices = new QVBoxLayout(RadioGroup1);
    ComputerRB = new QRadioButton(modemtexts::kDeviceComputer);
    CalculatorRB = new QRadioButton(modemtexts::kDeviceCalculator);
    ComputerRB->setChecked(true);
    choices->addWidget(ComputerRB);
    choices->addWidget(CalculatorRB);
    layout->addWidget(RadioGroup1);

    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    layout->addWidget(Memo1, 1);

    auto *buttons = new QHBoxLayout;
    RzBitBtn1 = new QPushButton(modemtexts::kSetUpButton);
    RzBitBtn1->setObjectName(QStringLiteral("RzBitBtn1"));
    RzBitBtn1->setDefault(true);
    RzBitBtn2 = new QPushButton(modemtexts::kCloseButton);
    RzBitBtn2->setObjectName(QStringLiteral("RzBitBtn2"));
    buttons->addStretch();
    buttons->addWidget(RzBitBtn1);
    buttons->addWidget(RzBitBtn2);
    layout->addLayout(buttons);
    resize(420, 420);

    connect(RzBitBtn1, &QPushButton::clicked, this, &TSetModemForm::SetUpModem);
    // Escape and "Закрыть" hide the window; its contents stay.
    connect(RzBitBtn2, &QPushButton::clicked, this, &QDialog::hide);
}

TSetModemForm::~TSetModemForm() = default;

void TSetModemForm::AddLine(const QString &line)
{
    // A line end inside a text starts a new line of the box, as the old memo showed it.
    QString text = line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    Memo1->appendPlainText(text);
    // The set-up runs on this thread for tens of seconds: let the box repaint.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TSetModemForm::SetUpModem()
{
    Memo1->clear();
    const int port = PortCB->currentIndex() < 0 ? 0 : PortCB->currentIndex() + 1;
    std::unique_ptr<SerialPort> link;
    if (port > 0)
        link = m_factory ? m_factory(port) : MakePortLink(port, m_dataRoot);

    ModemSetupCalls calls;
    calls.line = [this](const QString &line) { AddLine(line); };
    calls.message = [this](const QString &text) {
        if (m_showMessage)
            m_showMessage(text);
    };
    calls.portInUse = m_portInUse;

    RzBitBtn1->setEnabled(false);
    RzBitBtn2->setEnabled(false);
    RunModemSetup(link.get(), port, CalculatorRB->isChecked() ? kModemAtCalculator : kModemAtComputer,
                  m_clock ? *m_clock : SystemLinkClock(), calls);
    RzBitBtn1->setEnabled(true);
    RzBitBtn2->setEnabled(true);
}

} // namespace qst
