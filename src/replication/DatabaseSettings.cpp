#include "DatabaseSettings.h"

#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"

#include <QRegularExpression>
#include <QSysInfo>

namespace qst {

QString DatabaseSettings::nodeOrHost() const
{
    const QString n = node.trimmed();
    return n.isEmpty() ? DefaultNodeName() : n;
}

QString DefaultNodeName()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

namespace {

bool HasLineBreak(const QString &text)
{
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}

// user:password@ in a URI
const QRegularExpression &UriPassword()
{
    static const QRegularExpression re(QStringLiteral("^postgres(?:ql)?://[^/@?]*:([^/@?]*)@"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

// password=... in a key=value string or a URI's query
const QRegularExpression &KeywordPassword()
{
    static const QRegularExpression re(QStringLiteral("(^|[\\s?&])password\\s*=\\s*('(?:[^'\\\\]|\\\\.)*'|[^\\s&]*)"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

} // namespace

QString DatabaseUrlError(const QString &url)
{
    const QString u = url.trimmed();
    if (u.isEmpty())
        return QStringLiteral("the database URL is empty");
    if (HasLineBreak(u))
        return QStringLiteral("the database URL holds a line break");
    if (UriPassword().match(u).hasMatch() || KeywordPassword().match(u).hasMatch())
        return QStringLiteral("the database URL holds a password; put it in ~/.pgpass or PGPASSWORD instead");
    const QString bad = FirstUnencodableChar(u);
    if (!bad.isEmpty())
        return QStringLiteral("the database URL holds the character %1, which Tree.ini cannot store").arg(bad);
    return {};
}

QString DatabaseNodeError(const QString &node)
{
    if (HasLineBreak(node))
        return QStringLiteral("the node name holds a line break");
    const QString bad = FirstUnencodableChar(node);
    if (!bad.isEmpty())
        return QStringLiteral("the node name holds the character %1, which Tree.ini cannot store").arg(bad);
    return {};
}

QString RedactedUrl(const QString &url)
{
    QString u = url.trimmed();
    const QRegularExpressionMatch uri = UriPassword().match(u);
    if (uri.hasMatch())
        u.replace(uri.capturedStart(1), uri.capturedLength(1), QStringLiteral("***"));
    QRegularExpressionMatch kw = KeywordPassword().match(u);
    if (kw.hasMatch())
        u.replace(kw.capturedStart(2), kw.capturedLength(2), QStringLiteral("***"));
    return u;
}

DatabaseSettings ReadDatabaseSettings(Registry &registry)
{
    DatabaseSettings s;
    s.url = registry.file().ReadString(reg::kDatabase, reg::kUrl);
    s.node = registry.file().ReadString(reg::kDatabase, reg::kNode);
    return s;
}

void WriteDatabaseSettings(Registry &registry, const DatabaseSettings &settings)
{
    QString error = DatabaseUrlError(settings.url);
    if (error.isEmpty())
        error = DatabaseNodeError(settings.node);
    if (!error.isEmpty())
        throw StorageError(error);
    registry.file().Update([&](ProfileFile::Edit &edit) {
        edit.WriteString(reg::kDatabase, reg::kUrl, settings.url.trimmed());
        edit.WriteString(reg::kDatabase, reg::kNode, settings.node.trimmed());
    });
}

void ClearDatabaseSettings(Registry &registry)
{
    registry.file().Update([&](ProfileFile::Edit &edit) { edit.EraseSection(reg::kDatabase); });
}

} // namespace qst
