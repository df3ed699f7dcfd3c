#pragma once

#include <QString>

#include <functional>

namespace qst {

class LinkClock;
class SerialPort;

// The modem set-up's texts, the dialog's included, kept together. "подключени" is written
// so on purpose: operators know the message by it.
namespace modemtexts {
inline const QString kCaption = QStringLiteral("Настройка модема");
inline const QString kPortLabel = QStringLiteral("Порт");
inline const QString kDeviceGroup = QStringLiteral("Устройство, для которого настраивается модем");
inline const QString kDeviceComputer = QStringLiteral("Компьютер");
inline const QString kDeviceCalculator = QStringLiteral("QST-99-5.4");
inline const QString kSetUpButton = QStringLiteral("Настроить");
inline const QString kCloseButton = QStringLiteral("Закрыть");

inline const QString kNoPort = QStringLiteral("Не указан порт");
inline const QString kOpenFailed = QStringLiteral("Невозможно открыть порт. Код ошибки ");
inline const QString kOpened = QStringLiteral("Открыт порт ");
inline const QString kClosed = QStringLiteral("Закрыт порт ");
inline const QString kSent = QStringLiteral("-->");
inline const QString kReceived = QStringLiteral("<--");
inline const QString kNoAnswer = QStringLiteral("Нет ответа");
inline const QString kBadAnswer = QStringLiteral("Получен некорректный ответ");
inline const QString kResetDone = QStringLiteral("Инициализация модема прошла успешно");
inline const QString kResetFailed = QStringLiteral("Возникла ошибка. Проверьте подключени и повторите попытку.");
inline const QString kCommandFailed = QStringLiteral("Возникла ошибка. Повторите попытку.");
inline const QString kDone = QStringLiteral("Настройка выполнена успешно.");
inline const QString kFactory = QStringLiteral("Восстановлены заводские настройки");
inline const QString kSpeed = QStringLiteral("Скорость соединения установлена");
inline const QString kAutoAnswer = QStringLiteral("Автоматическое снятие трубки включено");
inline const QString kConnectTimeout = QStringLiteral("Тайм-аут установления соединения установлен");
inline const QString kResultFormat = QStringLiteral("Формат ответа модема установлен");
inline const QString kEchoOff = QStringLiteral("Эхо отключено");
inline const QString kStored = QStringLiteral("Изменения записаны");
// Not in the operators' old texts: the dialog refuses a port an exchange thread holds.
inline const QString kPortBusy = QStringLiteral("Порт занят опросом приборов: ");
} // namespace modemtexts

// Which modem is set up: the one at the computer or the one beside the calculator.
enum ModemDevice {
    kModemAtComputer = 0,
    kModemAtCalculator = 1,
};

struct ModemSetupCalls
{
    // A conversation line for the dialog's box.
    std::function<void(const QString &line)> line;
    // The final result for the message box (kind "OK"); not called when the set-up ends
    // in the box only.
    std::function<void(const QString &text)> message;
    // True when an exchange thread has the port open; the set-up then does not touch it.
    std::function<bool(int portNumber)> portInUse;
};

// The speed codes of the dialog's speed choices (choice + 7); choices 5 and 6 are 9600 and
// 19200 baud, any other choice gives 9600.
int ModemSpeedCode(int choice);

// "Настроить": resets the modem on the port and sends the device's command table, writing
// every step to calls.line and the outcome to calls.message. portNumber 0 means no port is
// chosen (port may then be null). The port is closed at the end whatever happened.
// Returns true when the modem was set up.
bool RunModemSetup(SerialPort *port, int portNumber, int device, LinkClock &clock, const ModemSetupCalls &calls);

} // namespace qst
