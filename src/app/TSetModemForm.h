#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace qst {

class LinkClock;
class SerialPort;

// "Настройка модема": sends the set-up commands to a modem on a chosen port and shows the
// conversation. Shown without blocking the main window; "Закрыть" only hides it, so the
// conversation stays until the next "Настроить".
class TSetModemForm : public QDialog
{
    Q_OBJECT

public:
    using PortInUse = std::function<bool(int port)>;
    using ShowMessage = std::function<void(const QString &text)>;
    using PortFactory = std::function<std::unique_ptr<SerialPort>(int port)>;

    // portInUse: whether an exchange thread holds the port (such a port is refused);
    // showMessage: the application's message box of kind "OK".
    TSetModemForm(const QString &dataRoot, PortInUse portInUse, ShowMessage showMessage, QWidget *parent = nullptr);
    ~TSetModemForm() override;

    // For tests: another serial layer and clock than the real ones.
    void SetPortFactory(PortFactory factory) { m_factory = std::move(factory); }
    void SetClock(LinkClock *clock) { m_clock = clock; }

    QComboBox *PortCB;
    QGroupBox *RadioGroup1;
    QRadioButton *ComputerRB;
    QRadioButton *CalculatorRB;
    QPushButton *RzBitBtn1;
    QPushButton *RzBitBtn2;
    QPlainTextEdit *Memo1;

public slots:
    // "Настроить".
    void SetUpModem();

private:
    void AddLine(const QString &line);

    QString m_dataRoot;
    PortInUse m_portInUse;
    ShowMessage m_showMessage;
    PortFactory m_factory;
    LinkClock *m_clock = nullptr;
};

} // namespace qst
