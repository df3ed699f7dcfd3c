#include "MailSettingsFile.h"

#include "common/ProfileFile.h"

#include <QDir>

namespace qst {

namespace {
const QString kSection = QStringLiteral("Mail");
}

QString MailSettingsPath(const QString &dataRoot)
{
    return QDir(dataRoot).filePath(QStringLiteral("Mail.ini"));
}

MailSettings ReadMailSettings(const QString &dataRoot)
{
    ProfileFile ini(MailSettingsPath(dataRoot));
    MailSettings s;
    s.host = ini.ReadString(kSection, QStringLiteral("Host"));
    s.port = int(ini.ReadInteger(kSection, QStringLiteral("Port"), 587));
    s.security = ini.ReadString(kSection, QStringLiteral("Security"), QStringLiteral("starttls")).toLower();
    s.from = ini.ReadString(kSection, QStringLiteral("From"));
    s.user = ini.ReadString(kSection, QStringLiteral("User"));
    s.passwordFile = ini.ReadString(kSection, QStringLiteral("PasswordFile"));
    s.caFile = ini.ReadString(kSection, QStringLiteral("CaFile"));
    s.verifyPeer = ini.ReadInteger(kSection, QStringLiteral("VerifyPeer"), 1) != 0;
    s.timeoutSeconds = int(qBound(qint64(5), ini.ReadInteger(kSection, QStringLiteral("Timeout"), 60), qint64(3600)));
    return s;
}

void WriteMailSettings(const QString &dataRoot, const MailSettings &s)
{
    ProfileFile ini(MailSettingsPath(dataRoot));
    ini.WriteStrings(kSection,
        {{QStringLiteral("Host"), s.host}, {QStringLiteral("Port"), QString::number(s.port)},
            {QStringLiteral("Security"), s.security}, {QStringLiteral("From"), s.from},
            {QStringLiteral("User"), s.user}, {QStringLiteral("PasswordFile"), s.passwordFile},
            {QStringLiteral("CaFile"), s.caFile},
            {QStringLiteral("VerifyPeer"), s.verifyPeer ? QStringLiteral("1") : QStringLiteral("0")}});
}

QString MailSettingsError(const MailSettings &s)
{
    if (s.host.isEmpty() || HeaderTextError(s.host).size() || s.host.contains(u'/') || s.host.contains(u'@')
        || s.host.contains(u' '))
        return QStringLiteral("неверный почтовый сервер: %1").arg(s.host);
    if (s.port < 1 || s.port > 65535)
        return QStringLiteral("порт почтового сервера от 1 до 65535");
    if (s.security != QStringLiteral("starttls") && s.security != QStringLiteral("tls")
        && s.security != QStringLiteral("none"))
        return QStringLiteral("--security: starttls, tls или none");
    if (const QString e = MailAddressError(s.from); !e.isEmpty())
        return QStringLiteral("отправитель: ") + e;
    if (HeaderTextError(s.user).size() || HeaderTextError(s.passwordFile).size())
        return QStringLiteral("имя пользователя или путь к файлу пароля с управляющим символом");
    if (!s.user.isEmpty() && s.passwordFile.isEmpty())
        return QStringLiteral("--user требует --password-file");
    for (const QString &t : {s.host, s.from, s.user, s.passwordFile, s.caFile}) {
        if (const QString e = ProfileTextError(t); !e.isEmpty())
            return e;
    }
    return {};
}

} // namespace qst
