#pragma once

#include <QString>

// The exchange engine's log texts as operators know them, kept together. Some look like
// slips ("Архивная месячную запись", the unclosed "(" of the serial mismatch, two blanks
// before a serial): operators and their scripts rely on them as they are.
namespace qst::texts {

inline const QString kPortOpenFailed = QStringLiteral("Невозможно открыть порт. Ошибка ");
inline const QString kPortOpened = QStringLiteral("Порт открыт");
inline const QString kPortClosed = QStringLiteral("Порт закрыт");
inline const QString kSerialReadFailed = QStringLiteral("Не удалось прочитать серийный номер прибора. Код ошибки: ");
inline const QString kSerialMismatchA = QStringLiteral("Серийный номер подключенного прибора (");
inline const QString kSerialMismatchB = QStringLiteral(" не соответствует требуемому (");
inline const QString kSerialChecked = QStringLiteral("Проверка серийного номера выполнена.");
inline const QString kVersionFailed = QStringLiteral("Не удалось проверить версию прибора ");
inline const QString kErrorCode = QStringLiteral(" Код ошибки: ");
inline const QString kCurrentRead = QStringLiteral("Текущие параметры прибора ");
inline const QString kCurrentReadDone = QStringLiteral(" Считаны успешно.");
inline const QString kCurrentReadFailed = QStringLiteral("Не удалось считать текущие параметры с прибора ");
inline const QString kParamsFailed = QStringLiteral("Не удалось считать параметры архива с прибора ");
inline const QString kEmpty = QStringLiteral(" пуст");
inline const QString kAtOffset = QStringLiteral(" со смещением ");
inline const QString kLowerErrorCode = QStringLiteral(" код ошибки ");
inline const QString kReadDone = QStringLiteral(" считана успешно.");
inline const QString kMissing = QStringLiteral(" НЕ СУЩЕСТВУЕТ!");
inline const QString kJournalEmpty = QStringLiteral("Журнал прибора ");
inline const QString kJournalReadFailed = QStringLiteral("Не удалось прочесть запись журнала с прибора  ");
inline const QString kJournalEnd = QStringLiteral("Достигнут конец журнала прибора  ");
inline const QString kJournalRead = QStringLiteral("Запись журнала с прибора  ");

// The archive kinds' words: hourly, daily, monthly.
struct ArchiveWords
{
    QString readFailed;  // "Не удалось прочесть архивную часовую запись с прибора  "
    QString readDone;    // "Архивная часовая запись с прибора  "
    QString missing;     // "Архивная часовая запись прибора  "
    QString empty;       // "Часовой архив прибора "
};
const ArchiveWords &WordsOf(int requestKind);

// Modem dialing.
inline const QString kModemSilent = QStringLiteral("Модем не отвечает");
inline const QString kModemReady = QStringLiteral("Инициализация модема выполнена");
inline const QString kDialing = QStringLiteral("Набор номера ");
inline const QString kConnected = QStringLiteral("Соединение установлено. Ответ модема: ");
inline const QString kNotConnected = QStringLiteral("Соединение не установлено. Ответ модема: ");
inline const QString kHungUp = QStringLiteral("Связь с модемом прекращена");

// Our own, where the design has no text.
inline const QString kBadPhoneNumber = QStringLiteral("Соединение не установлено. Неверный номер телефона: ");
QString UnsupportedVersion(const QString &serial, int version);
QString SaveFailed(const QString &serial, const QString &reason);
// Records of a read that were already stored and kept as they were (no overwrite).
QString RecordsKept(const QString &serial, int count);
// Positions older than the calculator's oldest record, from first to last.
QString RecordsGone(const ArchiveWords &words, const QString &serial, double first, double last);
QString JournalGivenUp(const QString &serial, int failures);
// An answer from another address on the line, dropped.
QString ForeignAnswer(int asked, int answered);
// Journal positions that failed in earlier runs and are still unread after the retries.
QString JournalRetriesGivenUp(const QString &serial, int runs);

} // namespace qst::texts
