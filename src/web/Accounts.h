#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <mutex>
#include <optional>

namespace qst::web {

enum class Role { Consumer = 0, Viewer = 1, Operator = 2, Admin = 3 }; // ordered by rights
QString RoleName(Role role);                       // "consumer", "viewer", "operator", "admin"
bool ParseRole(const QString &text, Role *role);

struct Account
{
    QString name;
    Role role = Role::Viewer;
    QList<quint16> meters; // a consumer's meters by serial
    QList<int> groups;     // a consumer's groups by registry group number (their subgroups included)
};

// The portal's accounts in a file of the data root.
class AccountStore
{
public:
    explicit AccountStore(const QString &dataRoot);
    static QString FilePath(const QString &dataRoot);

    QList<Account> List() const;
    std::optional<Account> Find(const QString &name) const;
    std::optional<Account> CheckPassword(const QString &name, const QString &password) const;
    std::optional<Account> CheckToken(const QString &token) const;

    bool Add(const Account &account, const QString &password, QString *error);
    bool Update(const Account &account, QString *error);
    bool SetPassword(const QString &name, const QString &password, QString *error);
    bool Remove(const QString &name, QString *error);
    QString IssueToken(const QString &name, QString *error);
    bool RevokeTokens(const QString &name, QString *error);

    static bool ValidName(const QString &name);
    static bool AcceptablePassword(const QString &password, QString *error);

private:
    struct Entry
    {
        Account account;
        QByteArray hash;
        QList<QByteArray> tokens;
    };
    QString m_path;
    mutable std::mutex m_mutex;
    QList<Entry> m_entries;
    void Load();
    void Save() const;
};

} // namespace qst::web
