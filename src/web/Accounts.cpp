#include "web/Accounts.h"

#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qst::web {

namespace {

const QString kFileName = QStringLiteral("Users.ini");
const QString kSectionPrefix = QStringLiteral("User");
const QString kName = QStringLiteral("Name");
const QString kRole = QStringLiteral("Role");
const QString kMeters = QStringLiteral("Meters");
const QString kGroups = QStringLiteral("Groups");
const QString kHash = QStringLiteral("Hash");
const QString kTokens = QStringLiteral("Tokens");
const QString kTokenPrefix = QStringLiteral("qst_");
constexpr int kTokenBytes = 32;
constexpr int kMaxNameLength = 64;
constexpr int kMinPasswordLength = 8;
// Longer passwords only make the hash slower to feed; nobody types more.
constexpr int kMaxPasswordLength = 1024;

bool SodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray HashPassword(const QString &password)
{
    const QByteArray utf8 = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (!SodiumReady()
        || crypto_pwhash_str(out, utf8.constData(), quint64(utf8.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
               crypto_pwhash_MEMLIMIT_INTERACTIVE)
            != 0)
        return {};
    return QByteArray(out);
}

bool VerifyPassword(const QByteArray &hash, const QString &password)
{
    const QByteArray utf8 = password.toUtf8();
    return SodiumReady() && crypto_pwhash_str_verify(hash.constData(), utf8.constData(), quint64(utf8.size())) == 0;
}

// A hash of a random password that nobody knows: an unknown name is checked against it, so
// that it costs as much time as a known one.
const QByteArray &DummyHash()
{
    static const QByteArray hash = [] {
        QByteArray secret(16, '\0');
        if (SodiumReady())
            randombytes_buf(secret.data(), size_t(secret.size()));
        return HashPassword(QString::fromLatin1(secret.toHex()));
    }();
    return hash;
}

bool WellFormedHash(const QByteArray &hash)
{
    // -1 means "not a hash of this algorithm"; 0 and 1 are usable hashes.
    return hash.startsWith("$argon2id$")
        && crypto_pwhash_str_needs_rehash(
               hash.constData(), crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE)
        >= 0;
}

QByteArray TokenHash(const QString &token)
{
    const QByteArray text = token.toUtf8();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(text.constData()), quint64(text.size()));
    return QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex();
}

bool IsHex64(const QByteArray &text)
{
    if (text.size() != 2 * crypto_hash_sha256_BYTES)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

QString JoinNumbers(const auto &numbers)
{
    QStringList parts;
    for (auto n : numbers)
        parts << QString::number(n);
    return parts.join(u',');
}

// A comma-separated list of numbers within [min, max]; false on anything else.
bool ParseNumbers(const QString &text, qint64 min, qint64 max, QList<qint64> *numbers)
{
    numbers->clear();
    if (text.trimmed().isEmpty())
        return true;
    for (const QString &part : text.split(u',')) {
        qint64 n = 0;
        if (!TryParseInt(part.trimmed(), &n) || n < min || n > max)
            return false;
        numbers->append(n);
    }
    return true;
}

QString EncodeTokens(const auto &tokens)
{
    QStringList parts;
    for (const auto &t : tokens)
        parts << QString::fromLatin1(t.hash) + u'@' + t.created;
    return parts.join(u',');
}

// Every line of an INI file is blank, a comment, a section header or a key; anything else
// (binary junk, a line cut in half by a crash before the checked save existed) is damage.
QString DamagedLine(const QByteArray &bytes)
{
    int number = 0;
    for (const QString &raw : SplitLines(bytes)) {
        ++number;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']'))
            continue;
        if (line.indexOf(u'=') > 0)
            continue;
        return QStringLiteral("строка %1 не разобрана").arg(number);
    }
    return {};
}

} // namespace

QString RoleName(Role role)
{
    switch (role) {
    case Role::Consumer:
        return QStringLiteral("consumer");
    case Role::Viewer:
        return QStringLiteral("viewer");
    case Role::Operator:
        return QStringLiteral("operator");
    case Role::Admin:
        return QStringLiteral("admin");
    }
    return QStringLiteral("viewer");
}

bool ParseRole(const QString &text, Role *role)
{
    for (Role r : { Role::Consumer, Role::Viewer, Role::Operator, Role::Admin }) {
        if (text == RoleName(r)) {
            *role = r;
            return true;
        }
    }
    return false;
}

AccountStore::AccountStore(const QString &dataRoot)
    : m_path(FilePath(dataRoot))
    , m_file(std::make_unique<ProfileFile>(m_path))
{
    SodiumReady();
}

AccountStore::~AccountStore() = default;

QString AccountStore::FilePath(const QString &dataRoot)
{
    return QDir(dataRoot).filePath(kFileName);
}

bool AccountStore::ValidName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return false;
    // The file trims values and holds Windows-1251 only; such a name would come back changed.
    if (name != name.trimmed() || !ProfileTextError(name).isEmpty())
        return false;
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control || c == u':' || c == u'/')
            return false;
    }
    return true;
}

bool AccountStore::AcceptablePassword(const QString &password, QString *error)
{
    if (password.size() < kMinPasswordLength) {
        *error = QStringLiteral("Пароль короче %1 символов.").arg(kMinPasswordLength);
        return false;
    }
    if (password.size() > kMaxPasswordLength) {
        *error = QStringLiteral("Пароль длиннее %1 символов.").arg(kMaxPasswordLength);
        return false;
    }
    return true;
}

AccountStore::Stamp AccountStore::StatFile() const
{
    Stamp s;
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        s.exists = true;
        s.size = st.st_size;
        s.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        s.inode = st.st_ino;
    }
    return s;
}

void AccountStore::RefreshLocked() const
{
    // A rewrite between the two looks means what was read may mix two files: read again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const Stamp before = StatFile();
        if (m_loaded && before == m_stamp)
            return;
        LoadLocked();
        if (StatFile() == before) {
            m_stamp = before;
            m_loaded = true;
            return;
        }
    }
    m_loaded = false;
    m_entries.clear();
    m_tokenOwners.clear();
    m_fileError = QStringLiteral("Файл учётных записей %1 всё время меняется; повторите позже.")
                      .arg(QDir::toNativeSeparators(m_path));
}

void AccountStore::LoadLocked() const
{
    m_entries.clear();
    m_tokenOwners.clear();
    m_fileError.clear();
    const auto damaged = [this](const QString &why) {
        m_entries.clear();
        m_tokenOwners.clear();
        m_fileError = QStringLiteral("Файл учётных записей %1 повреждён (%2); вход закрыт, файл не изменяется.")
                          .arg(QDir::toNativeSeparators(m_path), why);
    };
    try {
        bool exists = false;
        const QByteArray bytes = ReadFileBytes(m_path, &exists);
        if (!exists)
            return;
        if (const QString why = DamagedLine(bytes); !why.isEmpty())
            return damaged(why);
        for (const QString &section : m_file->ReadSectionNames()) {
            qint64 number = 0;
            if (!section.startsWith(kSectionPrefix, Qt::CaseInsensitive)
                || !TryParseInt(section.mid(kSectionPrefix.size()), &number) || number < 1)
                return damaged(QStringLiteral("лишний раздел [%1]").arg(section));
            Entry e;
            e.section = section;
            e.account.name = m_file->ReadString(section, kName);
            if (!ValidName(e.account.name))
                return damaged(QStringLiteral("[%1]: недопустимое имя").arg(section));
            if (FindLocked(e.account.name))
                return damaged(QStringLiteral("имя %1 встречается дважды").arg(e.account.name));
            if (!ParseRole(m_file->ReadString(section, kRole), &e.account.role))
                return damaged(QStringLiteral("[%1]: неизвестная роль").arg(section));
            QList<qint64> numbers;
            if (!ParseNumbers(m_file->ReadString(section, kMeters), 0, 65535, &numbers))
                return damaged(QStringLiteral("[%1]: неверный список счётчиков").arg(section));
            for (qint64 n : numbers)
                e.account.meters << quint16(n);
            if (!ParseNumbers(m_file->ReadString(section, kGroups), 0, 1000000, &numbers))
                return damaged(QStringLiteral("[%1]: неверный список групп").arg(section));
            for (qint64 n : numbers)
                e.account.groups << int(n);
            e.passwordHash = m_file->ReadString(section, kHash).toLatin1();
            if (!WellFormedHash(e.passwordHash))
                return damaged(QStringLiteral("[%1]: неверный хеш пароля").arg(section));
            const QString tokens = m_file->ReadString(section, kTokens);
            for (const QString &part : tokens.split(u',', Qt::SkipEmptyParts)) {
                const qsizetype at = part.indexOf(u'@');
                Token t { part.left(at).trimmed().toLatin1(), at < 0 ? QString() : part.mid(at + 1).trimmed() };
                if (!IsHex64(t.hash) || m_tokenOwners.contains(t.hash))
                    return damaged(QStringLiteral("[%1]: неверный токен").arg(section));
                e.tokens << t;
                m_tokenOwners.insert(t.hash, e.account.name);
            }
            m_entries << e;
        }
    } catch (const StorageError &e) {
        m_entries.clear();
        m_tokenOwners.clear();
        m_fileError = e.message();
    }
}

const AccountStore::Entry *AccountStore::FindLocked(const QString &name) const
{
    for (const Entry &e : m_entries) {
        // The file's sections and keys ignore case; so do the names, so two accounts never
        // differ only by case.
        if (e.account.name.compare(name, Qt::CaseInsensitive) == 0)
            return &e;
    }
    return nullptr;
}

QString AccountStore::FileError() const
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    return m_fileError;
}

int AccountStore::TokenCount(const QString &name) const
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    const Entry *e = FindLocked(name);
    return e ? int(e->tokens.size()) : 0;
}

QList<Account> AccountStore::List() const
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    QList<Account> list;
    for (const Entry &e : m_entries)
        list << e.account;
    return list;
}

std::optional<Account> AccountStore::Find(const QString &name) const
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    if (const Entry *e = FindLocked(name))
        return e->account;
    return std::nullopt;
}

std::optional<Account> AccountStore::CheckPassword(const QString &name, const QString &password) const
{
    std::optional<Account> account;
    QByteArray hash;
    {
        std::lock_guard lock(m_mutex);
        RefreshLocked();
        if (const Entry *e = FindLocked(name)) {
            account = e->account;
            hash = e->passwordHash;
        }
    }
    // The hash runs outside the lock: logins do not queue behind each other.
    if (!account) {
        VerifyPassword(DummyHash(), password);
        return std::nullopt;
    }
    if (password.size() > kMaxPasswordLength || !VerifyPassword(hash, password))
        return std::nullopt;
    return account;
}

std::optional<Account> AccountStore::CheckToken(const QString &token) const
{
    if (!token.startsWith(kTokenPrefix) || token.size() > 200 || !SodiumReady())
        return std::nullopt;
    const QByteArray hash = TokenHash(token);
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    const auto owner = m_tokenOwners.constFind(hash);
    if (owner == m_tokenOwners.cend())
        return std::nullopt;
    if (const Entry *e = FindLocked(*owner))
        return e->account;
    return std::nullopt;
}

bool AccountStore::ReadyForWriteLocked(QString *error) const
{
    RefreshLocked();
    if (!m_fileError.isEmpty()) {
        *error = m_fileError;
        return false;
    }
    if (!SodiumReady()) {
        *error = QStringLiteral("Библиотека libsodium не запустилась.");
        return false;
    }
    return true;
}

// The accounts file is created 0600 and set back to 0600 before each rewrite; the checked
// save keeps the mode of the file it replaces, so the hashes are never readable by others.
bool AccountStore::EnsurePrivateFileLocked(QString *error) const
{
    const QByteArray path = QFile::encodeName(m_path);
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("Не удалось записать %1: %2")
                     .arg(QDir::toNativeSeparators(m_path), SystemErrorText(errno));
        return false;
    }
    struct stat st;
    const bool ok
        = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ((st.st_mode & 07777) == 0600 || ::fchmod(fd, 0600) == 0);
    const int reason = errno;
    ::close(fd);
    if (!ok) {
        *error = QStringLiteral("Не удалось записать %1: %2")
                     .arg(QDir::toNativeSeparators(m_path),
                         S_ISREG(st.st_mode) ? SystemErrorText(reason) : QStringLiteral("это не обычный файл"));
        return false;
    }
    return true;
}

bool AccountStore::CheckAccountLocked(const Account &account, QString *error) const
{
    if (!ValidName(account.name)) {
        *error = QStringLiteral("Недопустимое имя «%1»: от 1 до %2 символов, без пробелов по краям, "
                                "управляющих символов, «:» и «/».")
                     .arg(account.name)
                     .arg(kMaxNameLength);
        return false;
    }
    if (account.role == Role::Consumer && account.meters.isEmpty() && account.groups.isEmpty()) {
        *error = QStringLiteral("Потребителю нужны счётчики или группа.");
        return false;
    }
    for (int g : account.groups) {
        if (g < 0) {
            *error = QStringLiteral("Нет группы %1.").arg(g);
            return false;
        }
    }
    return true;
}

int AccountStore::AdminCountLocked() const
{
    int n = 0;
    for (const Entry &e : m_entries)
        n += e.account.role == Role::Admin ? 1 : 0;
    return n;
}

// The checked save replaces the file by a new one of whoever writes. An administrator who
// runs "qst-cli user add" as root would leave a file the service (the data root's owner)
// cannot read, and nobody could log in: the file goes back to the data root's owner.
void AccountStore::KeepOwnerLocked() const
{
    if (::geteuid() != 0)
        return;
    struct stat folder;
    const QByteArray dir = QFile::encodeName(QFileInfo(m_path).absolutePath());
    if (::stat(dir.constData(), &folder) == 0 && folder.st_uid != 0) {
        if (::lchown(QFile::encodeName(m_path).constData(), folder.st_uid, folder.st_gid) != 0)
            qWarning("accounts: %s keeps its owner root: %s", qPrintable(m_path), qPrintable(SystemErrorText(errno)));
    }
}

bool AccountStore::WriteEntryLocked(const Entry &entry, bool isNew, QString *error)
{
    if (!EnsurePrivateFileLocked(error))
        return false;
    const Account &a = entry.account;
    const bool consumer = a.role == Role::Consumer;
    try {
        m_file->Update([&](ProfileFile::Edit &edit) {
            // Another program may have written the file since it was read: never overwrite
            // an account it added or renamed.
            const QString onDisk = edit.ReadString(entry.section, kName);
            if (isNew ? edit.HasSection(entry.section) : onDisk.compare(a.name, Qt::CaseInsensitive) != 0)
                throw StorageError(QStringLiteral("Файл учётных записей изменён другой программой; повторите."));
            if (isNew)
                edit.WriteString(entry.section, kName, a.name);
            edit.WriteString(entry.section, kRole, RoleName(a.role));
            edit.WriteString(entry.section, kMeters, consumer ? JoinNumbers(a.meters) : QString());
            edit.WriteString(entry.section, kGroups, consumer ? JoinNumbers(a.groups) : QString());
            edit.WriteString(entry.section, kHash, QString::fromLatin1(entry.passwordHash));
            edit.WriteString(entry.section, kTokens, EncodeTokens(entry.tokens));
        });
    } catch (const StorageError &e) {
        *error = e.message();
        m_loaded = false;
        return false;
    }
    KeepOwnerLocked();
    m_loaded = false; // read back from disk, as every other reader does
    return true;
}

bool AccountStore::Add(const Account &account, const QString &password, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error) || !CheckAccountLocked(account, error) || !AcceptablePassword(password, error))
        return false;
    if (FindLocked(account.name)) {
        *error = QStringLiteral("Учётная запись «%1» уже есть.").arg(account.name);
        return false;
    }
    Entry entry;
    entry.account = account;
    int number = 1;
    for (const Entry &e : m_entries)
        number = std::max<int>(number, e.section.mid(kSectionPrefix.size()).toInt() + 1);
    entry.section = kSectionPrefix + QString::number(number);
    entry.passwordHash = HashPassword(password);
    if (entry.passwordHash.isEmpty()) {
        *error = QStringLiteral("Не хватило памяти для хеша пароля.");
        return false;
    }
    return WriteEntryLocked(entry, true, error);
}

bool AccountStore::Update(const Account &account, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error) || !CheckAccountLocked(account, error))
        return false;
    const Entry *found = FindLocked(account.name);
    if (!found) {
        *error = QStringLiteral("Нет учётной записи «%1».").arg(account.name);
        return false;
    }
    if (found->account.role == Role::Admin && account.role != Role::Admin && AdminCountLocked() == 1) {
        *error = QStringLiteral("«%1» — последний администратор; сначала назначьте другого.").arg(found->account.name);
        return false;
    }
    Entry entry = *found;
    entry.account.role = account.role;
    entry.account.meters = account.meters;
    entry.account.groups = account.groups;
    return WriteEntryLocked(entry, false, error);
}

bool AccountStore::SetPassword(const QString &name, const QString &password, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error) || !AcceptablePassword(password, error))
        return false;
    const Entry *found = FindLocked(name);
    if (!found) {
        *error = QStringLiteral("Нет учётной записи «%1».").arg(name);
        return false;
    }
    Entry entry = *found;
    entry.passwordHash = HashPassword(password);
    if (entry.passwordHash.isEmpty()) {
        *error = QStringLiteral("Не хватило памяти для хеша пароля.");
        return false;
    }
    return WriteEntryLocked(entry, false, error);
}

bool AccountStore::Remove(const QString &name, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error))
        return false;
    const Entry *found = FindLocked(name);
    if (!found) {
        *error = QStringLiteral("Нет учётной записи «%1».").arg(name);
        return false;
    }
    if (found->account.role == Role::Admin && AdminCountLocked() == 1) {
        *error = QStringLiteral("«%1» — последний администратор; его удалить нельзя.").arg(found->account.name);
        return false;
    }
    const QString section = found->section;
    const QString storedName = found->account.name;
    if (!EnsurePrivateFileLocked(error))
        return false;
    try {
        m_file->Update([&](ProfileFile::Edit &edit) {
            if (edit.ReadString(section, kName) != storedName)
                throw StorageError(QStringLiteral("Файл учётных записей изменён другой программой; повторите."));
            edit.EraseSection(section);
        });
    } catch (const StorageError &e) {
        *error = e.message();
        m_loaded = false;
        return false;
    }
    KeepOwnerLocked();
    m_loaded = false;
    return true;
}

QString AccountStore::IssueToken(const QString &name, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error))
        return {};
    const Entry *found = FindLocked(name);
    if (!found) {
        *error = QStringLiteral("Нет учётной записи «%1».").arg(name);
        return {};
    }
    QByteArray secret(kTokenBytes, '\0');
    randombytes_buf(secret.data(), size_t(secret.size()));
    const QString token = kTokenPrefix
        + QString::fromLatin1(secret.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    sodium_memzero(secret.data(), size_t(secret.size()));
    Entry entry = *found;
    entry.tokens << Token { TokenHash(token), QDateTime::currentDateTimeUtc().toString(Qt::ISODate) };
    if (!WriteEntryLocked(entry, false, error))
        return {};
    return token;
}

bool AccountStore::RevokeTokens(const QString &name, QString *error)
{
    std::lock_guard lock(m_mutex);
    if (!ReadyForWriteLocked(error))
        return false;
    const Entry *found = FindLocked(name);
    if (!found) {
        *error = QStringLiteral("Нет учётной записи «%1».").arg(name);
        return false;
    }
    Entry entry = *found;
    entry.tokens.clear();
    return WriteEntryLocked(entry, false, error);
}

} // namespace qst::web
