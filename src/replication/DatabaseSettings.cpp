#include "DatabaseSettings.h"

#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>

#include <libpq-fe.h>

namespace qst {

namespace {
constexpr int kNodeNameMax = 64;
}

QString DatabaseSettings::nodeOrHost() const
{
    const QString n = node.trimmed();
    return n.isEmpty() ? DefaultNodeName() : n;
}

QString DefaultNodeName()
{
    const QString host = QSysInfo::machineHostName().left(kNodeNameMax);
    return host.isEmpty() || !DatabaseNodeError(host).isEmpty() ? QStringLiteral("localhost") : host;
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

namespace {

// libpq's reasons may quote the url or a piece of it (a bad percent-encoding of the
// password): every password the url spells is masked in them.
QString MaskedInText(const QString &url, QString text)
{
    const QString u = url.trimmed();
    QStringList secrets;
    const QRegularExpressionMatch uri = UriPassword().match(u);
    if (uri.hasMatch())
        secrets << uri.captured(1);
    for (QRegularExpressionMatchIterator it = KeywordPassword().globalMatch(u); it.hasNext();)
        secrets << it.next().captured(2);
    text.replace(u, RedactedUrl(u));
    for (const QString &secret : std::as_const(secrets)) {
        if (!secret.isEmpty())
            text.replace(secret, QStringLiteral("***"));
    }
    return text;
}

} // namespace

bool ParseConnectionOptions(const QString &url, QList<ConnectionOption> *options, QString *error)
{
    const QByteArray text = url.trimmed().toUtf8();
    char *message = nullptr;
    PQconninfoOption *parsed = PQconninfoParse(text.constData(), &message);
    if (!parsed) {
        if (error) {
            *error = message ? QString::fromUtf8(message).trimmed() : QStringLiteral("out of memory");
            error->replace(u'\n', QStringLiteral("; "));
            *error = MaskedInText(url, *error);
        }
        PQfreemem(message);
        return false;
    }
    options->clear();
    for (const PQconninfoOption *o = parsed; o->keyword; ++o) {
        if (o->val)
            options->append(ConnectionOption{QByteArray(o->keyword), QByteArray(o->val)});
    }
    PQconninfoFree(parsed);
    return true;
}

namespace {

bool HasPasswordOption(const QList<ConnectionOption> &options)
{
    return std::any_of(options.cbegin(), options.cend(),
                       [](const ConnectionOption &o) { return o.keyword == "password"; });
}

QString Quoted(const QByteArray &value)
{
    QString v = QString::fromUtf8(value);
    if (!v.isEmpty() && !v.contains(u' ') && !v.contains(u'\'') && !v.contains(u'\\'))
        return v;
    v.replace(QStringLiteral("\\"), QStringLiteral("\\\\")).replace(QStringLiteral("'"), QStringLiteral("\\'"));
    return u'\'' + v + u'\'';
}

} // namespace

QString DatabaseUrlError(const QString &url)
{
    const QString u = url.trimmed();
    if (u.isEmpty())
        return QStringLiteral("the database URL is empty");
    if (HasLineBreak(u))
        return QStringLiteral("the database URL holds a line break");
    const QString bad = FirstUnencodableChar(u);
    if (!bad.isEmpty())
        return QStringLiteral("the database URL holds the character %1, which Tree.ini cannot store").arg(bad);
    // Read as libpq reads it (percent-decoding, quoting), so no spelling of a password
    // slips through.
    QList<ConnectionOption> options;
    QString error;
    if (!ParseConnectionOptions(u, &options, &error))
        return QStringLiteral("libpq cannot read the database URL: %1").arg(error);
    if (HasPasswordOption(options) || UriPassword().match(u).hasMatch())
        return QStringLiteral("the database URL holds a password; put it in ~/.pgpass or PGPASSWORD instead");
    return {};
}

QString DatabaseNodeError(const QString &node)
{
    if (HasLineBreak(node))
        return QStringLiteral("the node name holds a line break");
    if (node.trimmed().size() > kNodeNameMax)
        return QStringLiteral("the node name is longer than %1 characters").arg(kNodeNameMax);
    for (const QChar c : node) {
        const QChar::Category k = c.category();
        if (k == QChar::Other_Control || k == QChar::Other_Format || k == QChar::Other_NotAssigned ||
            k == QChar::Other_PrivateUse || k == QChar::Separator_Line || k == QChar::Separator_Paragraph ||
            (k == QChar::Separator_Space && c != u' '))
            return QStringLiteral("the node name holds the character U+%1, which is not allowed")
                .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'));
    }
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
    for (qsizetype from = 0;;) {
        const QRegularExpressionMatch kw = KeywordPassword().match(u, from);
        if (!kw.hasMatch())
            break;
        u.replace(kw.capturedStart(2), kw.capturedLength(2), QStringLiteral("***"));
        from = kw.capturedStart(2) + 3;
    }
    // What libpq would still take for a password (an encoded key, an odd quoting): show
    // the options as libpq reads them, the password masked.
    QList<ConnectionOption> options;
    if (ParseConnectionOptions(u, &options, nullptr)) {
        const auto password = std::find_if(options.cbegin(), options.cend(),
                                           [](const ConnectionOption &o) { return o.keyword == "password"; });
        if (password == options.cend() || password->value == "***")
            return u;
        QStringList parts;
        for (const ConnectionOption &o : std::as_const(options))
            parts << QString::fromUtf8(o.keyword) + u'=' + (o.keyword == "password" ? QStringLiteral("***") : Quoted(o.value));
        return parts.join(u' ');
    }
    // Unreadable for libpq: shown as typed unless some spelling of a password may hide in it.
    static const QRegularExpression masked(QStringLiteral("password\\s*=\\s*\\*\\*\\*"),
                                           QRegularExpression::CaseInsensitiveOption);
    const QString probe = QUrl::fromPercentEncoding(u.toUtf8()).remove(masked);
    if (probe.contains(QStringLiteral("password"), Qt::CaseInsensitive))
        return QStringLiteral("(an unreadable URL)");
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
