#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <optional>
#include <memory>
#include <mutex>

namespace qst {
class ProfileFile;
}

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

// The portal's accounts in a file of the data root (mode 0600, written through the one checked save).
// Thread-safe: the server's request threads call it concurrently; it re-reads the file when it
// changed on disk (the CLI edits it while the service runs).
class AccountStore
{
public:
    explicit AccountStore(const QString &dataRoot);
    ~AccountStore();
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;
    static QString FilePath(const QString &dataRoot);

    QList<Account> List() const;
    std::optional<Account> Find(const QString &name) const;
    // Argon2id verify (crypto_pwhash_str_verify). An unknown name costs one verify against a
    // dummy hash, so a wrong name and a wrong password take about the same time.
    std::optional<Account> CheckPassword(const QString &name, const QString &password) const;
    // "Authorization: Bearer <token>"; tokens are stored hashed (SHA-256), never in clear.
    std::optional<Account> CheckToken(const QString &token) const;

    // Each returns false and a Russian sentence for a person in *error on refusal.
    bool Add(const Account &account, const QString &password, QString *error);
    bool Update(const Account &account, QString *error); // role, meters, groups of an existing name
    bool SetPassword(const QString &name, const QString &password, QString *error);
    bool Remove(const QString &name, QString *error);    // refuses to remove the last admin
    // A new token for scripts, returned once ("qst_" + 43 base64url chars, 256 random bits).
    QString IssueToken(const QString &name, QString *error);
    bool RevokeTokens(const QString &name, QString *error);

    static bool ValidName(const QString &name);          // 1..64 chars, no control chars, no ':' or '/'
    static bool AcceptablePassword(const QString &password, QString *error); // >= 8 chars

    // Why the file cannot be used (unreadable or damaged); empty when it is sound. A damaged
    // file lets nobody in and is never rewritten, so nothing in it is lost.
    QString FileError() const;
    // How many tokens an account holds (for listings; the tokens themselves are not kept).
    int TokenCount(const QString &name) const;

private:
    struct Token
    {
        QByteArray hash; // SHA-256 of the token text, lower-case hex
        QString created; // ISO 8601 UTC
    };
    struct Entry
    {
        Account account;
        QString section;
        QByteArray passwordHash;
        QList<Token> tokens;
    };
    struct Stamp
    {
        qint64 size = -1;
        qint64 mtimeNs = 0;
        quint64 inode = 0;
        bool exists = false;
        bool operator==(const Stamp &o) const = default;
    };

    Stamp StatFile() const;
    void RefreshLocked() const;
    void LoadLocked() const;
    const Entry *FindLocked(const QString &name) const;
    bool ReadyForWriteLocked(QString *error) const;
    bool EnsurePrivateFileLocked(QString *error) const;
    bool CheckAccountLocked(const Account &account, QString *error) const;
    int AdminCountLocked() const;
    bool WriteEntryLocked(const Entry &entry, bool isNew, QString *error);
    void KeepOwnerLocked() const;

    QString m_path;
    std::unique_ptr<ProfileFile> m_file;
    mutable std::mutex m_mutex;
    mutable Stamp m_stamp;
    mutable bool m_loaded = false;
    mutable QString m_fileError;
    mutable QList<Entry> m_entries;
    mutable QHash<QByteArray, QString> m_tokenOwners; // token hash -> account name
};

} // namespace qst::web
