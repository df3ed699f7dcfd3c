#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <mutex>
#include <utility>

namespace qst {

// Why a section, key or value cannot be stored as given (a line break would start a new line
// or section; a character outside Windows-1251 would be lost); empty when it can.
QString ProfileTextError(QStringView text);

// An INI profile file with the semantics the registry and the current-values file rely
// on: case-insensitive sections and keys; one key per call, written through to the file
// at once; Windows-1251; the file's order kept (a rewritten key stays in place, a new key
// goes to the end of its section, a new section to the end of the file; nothing sorted);
// lines it does not understand kept byte for byte; with duplicate keys the first is read
// and replaced.
//
// Safe to use from several threads. The parsed file is cached and reloaded only when the
// file on disk changed (size, modification time, inode) or after our own write, so a
// reader sees the old or the new value of a key, never a torn file.
class ProfileFile
{
public:
    explicit ProfileFile(const QString &path);
    ProfileFile(const ProfileFile &) = delete;
    ProfileFile &operator=(const ProfileFile &) = delete;

    const QString &path() const { return m_path; }

    bool HasKey(const QString &section, const QString &key);
    bool HasSection(const QString &section);
    QString ReadString(const QString &section, const QString &key, const QString &defaultValue = {});
    qint64 ReadInteger(const QString &section, const QString &key, qint64 defaultValue);
    double ReadReal(const QString &section, const QString &key, double defaultValue);
    QDate ReadDate(const QString &section, const QString &key, const QDate &defaultValue);
    QDateTime ReadDateTime(const QString &section, const QString &key, const QDateTime &defaultValue);
    QList<QString> ReadSectionNames();
    // The keys of a section in file order, each once (the first of duplicates counts).
    QList<QString> ReadKeyNames(const QString &section);

    // Each write goes to the file before it returns; throws StorageError on failure.
    void WriteString(const QString &section, const QString &key, const QString &value);
    void WriteInteger(const QString &section, const QString &key, qint64 value);
    void WriteReal(const QString &section, const QString &key, double value);
    void WriteDate(const QString &section, const QString &key, const QDate &value);
    void WriteDateTime(const QString &section, const QString &key, const QDateTime &value);
    // Several keys of one section in the given order with one save; the file ends up
    // exactly as after the single writes in that order.
    void WriteStrings(const QString &section, const QList<std::pair<QString, QString>> &keyValues);
    void EraseSection(const QString &section);

    // Reads of one state of the file, under one lock after one look at the disk: a loop over
    // every meter costs no file check per key.
    class Reader
    {
    public:
        QString ReadString(const QString &section, const QString &key, const QString &defaultValue = {}) const;
        qint64 ReadInteger(const QString &section, const QString &key, qint64 defaultValue) const;
        bool HasSection(const QString &section) const;
        QList<QString> ReadSectionNames() const;
        // Changes whenever the parsed contents may have changed (a reload or a write): what
        // a caller derived from an earlier generation is stale.
        quint64 Generation() const;

    protected:
        friend class ProfileFile;
        explicit Reader(ProfileFile &file)
            : m_file(file)
        {
        }
        ProfileFile &m_file;
    };
    // Other threads' reads and writes wait until `reads` returns: keep it short.
    void Read(const std::function<void(const Reader &)> &reads);

    // One change of several keys and sections, read and written under one lock and saved
    // with one rewrite of the file, so no other thread or a crash ever sees half of it. The
    // reads inside see the change's own writes. When `change` throws, nothing is written.
    class Edit : public Reader
    {
    public:
        void WriteString(const QString &section, const QString &key, const QString &value);
        void WriteInteger(const QString &section, const QString &key, qint64 value);
        void EraseSection(const QString &section);

    private:
        friend class ProfileFile;
        explicit Edit(ProfileFile &file)
            : Reader(file)
        {
        }
        bool m_changed = false;
    };
    void Update(const std::function<void(Edit &)> &change);

    // Drops the cache: the next read parses the file again (the benchmark's baseline).
    void InvalidateCache();

private:
    // Section and key names compare case-insensitively; the key keeps the caller's
    // string (shared, no copy) and hashes its case-folded characters.
    struct Name
    {
        QString text;
        bool operator==(const Name &o) const { return text.compare(o.text, Qt::CaseInsensitive) == 0; }
    };
    friend size_t qHash(const Name &name, size_t seed) noexcept;

    struct Line
    {
        QByteArray raw;      // as read, without its line end
        QString section;     // section name of a header line, trimmed
        QString key;         // key of a key line, trimmed
        QString value;       // value of a key line, trimmed
        bool isHeader = false;
        bool isKey = false;
    };
    struct SectionIndex
    {
        int header = -1;               // line of the [section] header
        int end = 0;                   // one past the last line of the section
        QHash<Name, int> keys;         // first line of each key
    };
    struct Stamp
    {
        qint64 size = -1;
        qint64 mtimeNs = 0;
        qint64 ctimeNs = 0; // a change of permissions shows here
        quint32 mode = 0;
        quint64 inode = 0;
        bool exists = false;
        bool operator==(const Stamp &o) const = default;
    };

    Stamp StatFile() const;
    void RefreshLocked();
    void ParseLocked(const QByteArray &bytes);
    QList<QString> SectionNamesLocked() const;
    void IndexLocked();
    const Line *FindLocked(const QString &section, const QString &key) const;
    void SetKeyLocked(const QString &section, const QString &key, const QString &value);
    bool EraseSectionLocked(const QString &section);
    void SaveLocked();

    QString m_path;
    std::mutex m_mutex;
    bool m_loaded = false;
    Stamp m_stamp;
    QByteArray m_bom;
    QList<Line> m_lines;
    QHash<Name, SectionIndex> m_sections;
    quint64 m_generation = 0;
};

} // namespace qst
