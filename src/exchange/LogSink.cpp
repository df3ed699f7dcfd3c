#include "LogSink.h"

#include "common/RegionalFormat.h"

namespace qst {

QString FormatLogLine(const QDateTime &at, const QString &text)
{
    return u'[' + DateTimeText(at) + QStringLiteral("] ") + text;
}

} // namespace qst
