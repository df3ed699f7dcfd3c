#include "common/LinkResult.h"

namespace qst {

QString LinkResultText(int code)
{
    switch (code) {
    case kLinkOk:
        return QStringLiteral("успешно");
    case kLinkNoRecord:
        return QStringLiteral("запись отсутствует");
    case kLinkNoAnswer:
        return QStringLiteral("нет ответа");
    case kLinkBadCrc:
        return QStringLiteral("ошибка контрольной суммы");
    case kLinkWrongAnswer:
        return QStringLiteral("неверный ответ");
    case kLinkImpossibleDate:
        return QStringLiteral("недопустимая дата");
    default:
        return QString::number(code);
    }
}

} // namespace qst
