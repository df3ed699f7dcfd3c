#pragma once

#include <QString>

// The portal's own texts for a person, kept together.
namespace qst::web::texts {

inline const QString kBadLogin = QStringLiteral("Неверное имя или пароль");
inline const QString kLoginThrottled = QStringLiteral("Слишком много неудачных попыток входа. Повторите позже");
inline const QString kNeedLogin = QStringLiteral("Требуется вход");
inline const QString kForbidden = QStringLiteral("Недостаточно прав");
inline const QString kNotFound = QStringLiteral("Не найдено");
inline const QString kBadCsrf = QStringLiteral("Запрос отклонён: нет действительного токена CSRF");
inline const QString kBadRequest = QStringLiteral("Неверный запрос");
inline const QString kBadPeriod = QStringLiteral("Неверный период");
inline const QString kTooLarge = QStringLiteral("Слишком большой запрос");
inline const QString kTooManyRequests = QStringLiteral("Слишком много запросов. Повторите позже");
inline const QString kMethodNotAllowed = QStringLiteral("Метод не поддерживается");
inline const QString kServerError = QStringLiteral("Внутренняя ошибка сервера");
inline const QString kReadsOnlyInService
    = QStringLiteral("Чтение доступно только когда портал работает в службе опроса (qst-cli run --listen)");
inline const QString kNoPdf = QStringLiteral("Преобразование в PDF недоступно: LibreOffice не установлен");
inline const QString kPdfFailed = QStringLiteral("Не удалось преобразовать документ в PDF");
inline const QString kDocumentFailed = QStringLiteral("Не удалось построить документ");
inline const QString kNsPresent = QStringLiteral("есть");
inline const QString kNotFoundPage = QStringLiteral("Страница не найдена");

} // namespace qst::web::texts
