#include "ExchangeTexts.h"

#include "PollQueue.h"

#include "common/RegionalFormat.h"

namespace qst::texts {

const ArchiveWords &WordsOf(int requestKind)
{
    static const ArchiveWords hourly{
        QStringLiteral("Не удалось прочесть архивную часовую запись с прибора  "),
        QStringLiteral("Архивная часовая запись с прибора  "),
        QStringLiteral("Архивная часовая запись прибора  "),
        QStringLiteral("Часовой архив прибора "),
    };
    static const ArchiveWords daily{
        QStringLiteral("Не удалось прочесть архивную суточную запись с прибора  "),
        QStringLiteral("Архивная суточная запись с прибора  "),
        QStringLiteral("Архивная суточная запись прибора  "),
        QStringLiteral("Суточный архив прибора "),
    };
    static const ArchiveWords monthly{
        QStringLiteral("Не удалось прочесть архивную месячную запись с прибора  "),
        QStringLiteral("Архивная месячную запись с прибора  "),
        QStringLiteral("Архивная месячная запись прибора  "),
        QStringLiteral("Месячный архив прибора "),
    };
    return requestKind == kRequestHourly ? hourly : (requestKind == kRequestDaily ? daily : monthly);
}

QString UnsupportedVersion(const QString &serial, int version)
{
    return QStringLiteral("Не удалось прочесть данные прибора ") + serial + QStringLiteral(": версия прибора ")
        + QString::number(version) + QStringLiteral(" не поддерживается. Запрос удален из очереди.");
}

QString SaveFailed(const QString &serial, const QString &reason)
{
    return QStringLiteral("Не удалось сохранить данные прибора ") + serial + QStringLiteral(": ") + reason;
}

QString RecordsKept(const QString &serial, int count)
{
    return QStringLiteral("Записей прибора ") + serial + QStringLiteral(", уже бывших в архиве и не перезаписанных: ")
           + QString::number(count);
}

QString RecordsGone(const ArchiveWords &words, const QString &serial, double first, double last)
{
    return words.empty + serial + QStringLiteral(" не хранит записей с ") + DateTimeText(first)
        + QStringLiteral(" по ") + DateTimeText(last) + QStringLiteral(": они уже вытеснены новыми");
}

QString JournalGivenUp(const QString &serial, int failures)
{
    return QStringLiteral("Чтение журнала прибора ") + serial + QStringLiteral(" прервано после ")
        + QString::number(failures) + QStringLiteral(" неудачных попыток подряд. Запрос удален из очереди.");
}

QString ForeignAnswer(int asked, int answered)
{
    return QStringLiteral("Получен ответ прибора с адресом ") + QString::number(answered)
        + QStringLiteral(" вместо адреса ") + QString::number(asked) + QStringLiteral(": ответ отброшен");
}

QString JournalRetriesGivenUp(const QString &serial, int runs)
{
    return QStringLiteral("Записи журнала прибора ") + serial + QStringLiteral(", не прочитанные за ")
        + QString::number(runs) + QStringLiteral(" опросов, больше не перечитываются");
}

} // namespace qst::texts
