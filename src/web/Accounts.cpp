// A stand-in of the account store until the real one is merged: the same interface, a JSON file.
#include "web/Accounts.h"

#include "common/TextFile.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sodium.h>

namespace qst::web {

namespace {

const QString kNames[] = {QStringLiteral("consumer"), QStringLiteral("viewer"), QStringLiteral("operator"),
                          QStringLiteral("admin")};

QByteArray HashPassword(const QString &password)
{
    const QByteArray utf8 = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, utf8.constData(), quint64(utf8.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return QByteArray(out);
}

bool Verify(const QByteArray &hash, const QString &password)
{
    const QByteArray utf8 = password.toUtf8();
    return crypto_pwhash_str_verify(hash.constData(), utf8.constData(), quint64(utf8.size())) == 0;
}

QByteArray TokenHash(const QString &token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex();
}

} // namespace

QString RoleName(Role role)
{
    return kNames[int(role)];
}

bool ParseRole(const QString &text, Role *role)
{
    for (int i = 0; i < 4; ++i) {
        if (text == kNames[i]) {
            *role = Role(i);
            return true;
        }
    }
    return false;
}

AccountStore::AccountStore(const QString &dataRoot)
    : m_path(FilePath(dataRoot))
{
    if (sodium_init() < 0)
        return;
    Load();
}

QString AccountStore::FilePath(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/Portal.json");
}

void AccountStore::Load()
{
    const QJsonArray array = QJsonDocument::fromJson(ReadFileBytes(m_path)).array();
    for (const QJsonValue &v : array) {
        const QJsonObject o = v.toObject();
        Entry e;
        e.account.name = o.value(QStringLiteral("name")).toString();
        ParseRole(o.value(QStringLiteral("role")).toString(), &e.account.role);
        for (const QJsonValue &m : o.value(QStringLiteral("meters")).toArray())
            e.account.meters.append(quint16(m.toInt()));
        for (const QJsonValue &g : o.value(QStringLiteral("groups")).toArray())
            e.account.groups.append(g.toInt());
        e.hash = o.value(QStringLiteral("hash")).toString().toLatin1();
        for (const QJsonValue &t : o.value(QStringLiteral("tokens")).toArray())
            e.tokens.append(t.toString().toLatin1());
        m_entries.append(e);
    }
}

void AccountStore::Save() const
{
    QJsonArray array;
    for (const Entry &e : m_entries) {
        QJsonArray meters, groups, tokens;
        for (quint16 m : e.account.meters)
            meters.append(int(m));
        for (int g : e.account.groups)
            groups.append(g);
        for (const QByteArray &t : e.tokens)
            tokens.append(QString::fromLatin1(t));
        array.append(QJsonObject{{QStringLiteral("name"), e.account.name},
                                 {QStringLiteral("role"), RoleName(e.account.role)},
                                 {QStringLiteral("meters"), meters},
                                 {QStringLiteral("groups"), groups},
                                 {QStringLiteral("hash"), QString::fromLatin1(e.hash)},
                                 {QStringLiteral("tokens"), tokens}});
    }
    SaveFileBytes(m_path, QJsonDocument(array).toJson());
}

QList<Account> AccountStore::List() const
{
    std::lock_guard lock(m_mutex);
    QList<Account> list;
    for (const Entry &e : m_entries)
        list.append(e.account);
    return list;
}

std::optional<Account> AccountStore::Find(const QString &name) const
{
    std::lock_guard lock(m_mutex);
    for (const Entry &e : m_entries) {
        if (e.account.name == name)
            return e.account;
    }
    return std::nullopt;
}

std::optional<Account> AccountStore::CheckPassword(const QString &name, const QString &password) const
{
    QByteArray hash;
    std::optional<Account> found;
    {
        std::lock_guard lock(m_mutex);
        for (const Entry &e : m_entries) {
            if (e.account.name == name) {
                hash = e.hash;
                found = e.account;
            }
        }
    }
    if (!found) {
        static const QByteArray dummy = HashPassword(QStringLiteral("dummy password"));
        Verify(dummy, password);
        return std::nullopt;
    }
    return Verify(hash, password) ? found : std::nullopt;
}

std::optional<Account> AccountStore::CheckToken(const QString &token) const
{
    const QByteArray hash = TokenHash(token);
    std::lock_guard lock(m_mutex);
    for (const Entry &e : m_entries) {
        if (e.tokens.contains(hash))
            return e.account;
    }
    return std::nullopt;
}

bool AccountStore::Add(const Account &account, const QString &password, QString *error)
{
    if (!ValidName(account.name)) {
        *error = QStringLiteral("Недопустимое имя");
        return false;
    }
    if (!AcceptablePassword(password, error))
        return false;
    std::lock_guard lock(m_mutex);
    for (const Entry &e : m_entries) {
        if (e.account.name == account.name) {
            *error = QStringLiteral("Такое имя уже есть");
            return false;
        }
    }
    m_entries.append({account, HashPassword(password), {}});
    Save();
    return true;
}

bool AccountStore::Update(const Account &account, QString *error)
{
    std::lock_guard lock(m_mutex);
    for (Entry &e : m_entries) {
        if (e.account.name == account.name) {
            e.account = account;
            Save();
            return true;
        }
    }
    *error = QStringLiteral("Нет такого пользователя");
    return false;
}

bool AccountStore::SetPassword(const QString &name, const QString &password, QString *error)
{
    if (!AcceptablePassword(password, error))
        return false;
    std::lock_guard lock(m_mutex);
    for (Entry &e : m_entries) {
        if (e.account.name == name) {
            e.hash = HashPassword(password);
            Save();
            return true;
        }
    }
    *error = QStringLiteral("Нет такого пользователя");
    return false;
}

bool AccountStore::Remove(const QString &name, QString *error)
{
    std::lock_guard lock(m_mutex);
    int admins = 0;
    for (const Entry &e : m_entries)
        admins += e.account.role == Role::Admin ? 1 : 0;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].account.name != name)
            continue;
        if (m_entries[i].account.role == Role::Admin && admins == 1) {
            *error = QStringLiteral("Нельзя удалить последнего администратора");
            return false;
        }
        m_entries.removeAt(i);
        Save();
        return true;
    }
    *error = QStringLiteral("Нет такого пользователя");
    return false;
}

QString AccountStore::IssueToken(const QString &name, QString *error)
{
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    const QString token = QStringLiteral("qst_")
        + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(random), sizeof random)
                                  .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    std::lock_guard lock(m_mutex);
    for (Entry &e : m_entries) {
        if (e.account.name == name) {
            e.tokens.append(TokenHash(token));
            Save();
            return token;
        }
    }
    *error = QStringLiteral("Нет такого пользователя");
    return {};
}

bool AccountStore::RevokeTokens(const QString &name, QString *error)
{
    std::lock_guard lock(m_mutex);
    for (Entry &e : m_entries) {
        if (e.account.name == name) {
            e.tokens.clear();
            Save();
            return true;
        }
    }
    *error = QStringLiteral("Нет такого пользователя");
    return false;
}

bool AccountStore::ValidName(const QString &name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control || c == u':' || c == u'/')
            return false;
    }
    return true;
}

bool AccountStore::AcceptablePassword(const QString &password, QString *error)
{
    if (password.size() >= 8)
        return true;
    *error = QStringLiteral("Пароль короче 8 знаков");
    return false;
}

} // namespace qst::web
