#include "ProfileFile.h"

#include "RegionalFormat.h"
#include "StorageError.h"
#include "TextFile.h"

#include <QFileInfo>
#include <QSet>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace qst {

namespace {

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

// Trimmed only when needed, so the usual call shares the caller's string.
QString Trimmed(const QString &s)
{
    if (!s.isEmpty() && (s.front().isSpace() || s.back().isSpace()))
        return s.trimmed();
    return s;
}

} // namespace

size_t qHash(const ProfileFile::Name &name, size_t seed) noexcept
{
    size_t h = seed;
    for (QChar c : name.text) {
        char16_t u = c.unicode();
        if (u >= u'a' && u <= u'z')
            u = static_cast<char16_t>(u - 32);
        else if (u >= 128)
            u = c.toUpper().unicode();
        h = h * 31 + u;
    }
    return h;
}

ProfileFile::ProfileFile(const QString &path)
    : m_path(path)
{
}

ProfileFile::Stamp ProfileFile::StatFile() const
{
    Stamp s;
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return s;
    s.exists = true;
    s.size = st.st_size;
    s.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.inode = st.st_ino;
    s.ctimeNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.mode = st.st_mode;
#else
    const QFileInfo info(m_path);
    if (!info.exists())
        return s;
    s.exists = true;
    s.size = info.size();
    s.mtimeNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return s;
}

void ProfileFile::RefreshLocked()
{
    const Stamp now = StatFile();
    if (m_loaded && now == m_stamp)
        return;
    QByteArray bytes;
    if (now.exists) {
        // A file that is there but cannot be read is no empty registry: reading it as one
        // would let the next write replace it. Reads and writes fail until it reads again.
        m_loaded = false;
        bytes = ReadFileBytes(m_path);
    }
    ParseLocked(bytes);
    m_stamp = now;
    m_loaded = true;
}

void ProfileFile::ParseLocked(const QByteArray &source)
{
    m_lines.clear();
    m_bom.clear();
    QByteArray bytes = source;
    if (bytes.startsWith(kUtf8Bom)) {
        m_bom = kUtf8Bom;
        bytes.remove(0, kUtf8Bom.size());
    }
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i <= n; ++i) {
        if (i == n || bytes[i] == '\n' || bytes[i] == '\r') {
            if (i == n && start == n)
                break;
            Line line;
            line.raw = bytes.mid(start, i - start);
            const QString text = DecodeCp1251(line.raw).trimmed();
            const qsizetype close = text.startsWith(u'[') ? text.indexOf(u']') : -1;
            if (close > 0) {
                line.isHeader = true;
                line.section = text.mid(1, close - 1).trimmed();
            } else {
                const qsizetype eq = text.indexOf(u'=');
                if (eq > 0) {
                    line.isKey = true;
                    line.key = text.left(eq).trimmed();
                    line.value = text.mid(eq + 1).trimmed();
                }
            }
            m_lines.append(std::move(line));
            if (i < n && bytes[i] == '\r' && i + 1 < n && bytes[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    IndexLocked();
}

void ProfileFile::IndexLocked()
{
    m_sections.clear();
    ++m_generation;
    SectionIndex *current = nullptr;
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line &line = m_lines[i];
        if (line.isHeader) {
            if (current)
                current->end = i;
            // A repeated section name: the first one is the one read and written.
            if (m_sections.contains(Name{line.section})) {
                current = nullptr;
                continue;
            }
            current = &m_sections[Name{line.section}];
            current->header = i;
            current->end = i + 1;
        } else if (current) {
            if (line.isKey && !current->keys.contains(Name{line.key}))
                current->keys.insert(Name{line.key}, i);
        }
    }
    if (current)
        current->end = m_lines.size();
    // Trailing blank lines belong to no key: new keys go right after the last non-blank
    // line of their section.
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it) {
        int end = it->end;
        while (end > it->header + 1 && m_lines[end - 1].raw.trimmed().isEmpty())
            --end;
        it->end = end;
    }
}

const ProfileFile::Line *ProfileFile::FindLocked(const QString &section, const QString &key) const
{
    const auto sit = m_sections.constFind(Name{Trimmed(section)});
    if (sit == m_sections.constEnd())
        return nullptr;
    const auto kit = sit->keys.constFind(Name{Trimmed(key)});
    if (kit == sit->keys.constEnd())
        return nullptr;
    return &m_lines[*kit];
}

bool ProfileFile::HasKey(const QString &section, const QString &key)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    return FindLocked(section, key) != nullptr;
}

bool ProfileFile::HasSection(const QString &section)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    return m_sections.contains(Name{Trimmed(section)});
}

QString ProfileFile::ReadString(const QString &section, const QString &key, const QString &defaultValue)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    const Line *line = FindLocked(section, key);
    return line ? line->value : defaultValue;
}

qint64 ProfileFile::ReadInteger(const QString &section, const QString &key, qint64 defaultValue)
{
    qint64 value = 0;
    return TryParseInt(ReadString(section, key), &value) ? value : defaultValue;
}

double ProfileFile::ReadReal(const QString &section, const QString &key, double defaultValue)
{
    double value = 0;
    return TryParseReal(ReadString(section, key), &value) ? value : defaultValue;
}

QDate ProfileFile::ReadDate(const QString &section, const QString &key, const QDate &defaultValue)
{
    const QDate value = ParseDateText(ReadString(section, key));
    return value.isValid() ? value : defaultValue;
}

QDateTime ProfileFile::ReadDateTime(const QString &section, const QString &key, const QDateTime &defaultValue)
{
    const QDateTime value = ParseDateTimeText(ReadString(section, key));
    return value.isValid() ? value : defaultValue;
}

QList<QString> ProfileFile::ReadSectionNames()
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    return SectionNamesLocked();
}

QList<QString> ProfileFile::SectionNamesLocked() const
{
    QList<QString> names;
    QSet<Name> seen;
    for (const Line &line : std::as_const(m_lines)) {
        if (line.isHeader && !seen.contains(Name{line.section})) {
            seen.insert(Name{line.section});
            names.append(line.section);
        }
    }
    return names;
}

QList<QString> ProfileFile::ReadKeyNames(const QString &section)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    QList<QString> names;
    const auto it = m_sections.constFind(Name{section});
    if (it == m_sections.constEnd())
        return names;
    for (int i = it->header + 1; i < it->end; ++i) {
        const Line &line = m_lines[i];
        if (line.isKey && it->keys.value(Name{line.key}, -1) == i)
            names.append(line.key);
    }
    return names;
}

QString ProfileTextError(QStringView text)
{
    for (QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == QChar(0))
            return QStringLiteral("Значение не может содержать перевод строки.");
    }
    const QString bad = FirstUnencodableChar(text);
    if (!bad.isEmpty())
        return QStringLiteral("Символ «%1» (U+%2) нельзя сохранить в кодировке Windows-1251.")
            .arg(bad)
            .arg(QString::number(bad.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0'));
    return {};
}

void ProfileFile::SetKeyLocked(const QString &section, const QString &key, const QString &value)
{
    for (const QString *text : {&section, &key, &value}) {
        const QString error = ProfileTextError(*text);
        if (!error.isEmpty())
            throw StorageError(error);
    }
    ++m_generation;
    Line line;
    line.key = key.trimmed();
    line.value = value.trimmed();
    line.raw = EncodeCp1251(line.key) + '=' + EncodeCp1251(value);
    line.isKey = true;
    const auto sit = m_sections.constFind(Name{Trimmed(section)});
    if (sit == m_sections.constEnd()) {
        Line header;
        header.section = section.trimmed();
        header.raw = '[' + EncodeCp1251(header.section) + ']';
        header.isHeader = true;
        m_lines.append(std::move(header));
        m_lines.append(std::move(line));
    } else if (const auto kit = sit->keys.constFind(Name{line.key}); kit != sit->keys.constEnd()) {
        // The stored spelling of the key stays; only the value changes.
        Line &stored = m_lines[*kit];
        stored.raw = stored.raw.left(stored.raw.indexOf('=')).trimmed() + '=' + EncodeCp1251(value);
        stored.value = line.value;
        return; // positions unchanged, the index still holds
    } else {
        m_lines.insert(sit->end, std::move(line));
    }
    IndexLocked();
}

void ProfileFile::SaveLocked()
{
    QByteArray bytes = m_bom;
    qsizetype size = bytes.size();
    for (const Line &line : std::as_const(m_lines))
        size += line.raw.size() + 2;
    bytes.reserve(size);
    for (const Line &line : std::as_const(m_lines)) {
        bytes += line.raw;
        bytes += "\r\n";
    }
    try {
        SaveFileBytes(m_path, bytes);
    } catch (...) {
        // The file on disk is unchanged; forget the edit we could not store.
        m_loaded = false;
        throw;
    }
    m_stamp = StatFile();
}

void ProfileFile::WriteString(const QString &section, const QString &key, const QString &value)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    SetKeyLocked(section, key, value);
    SaveLocked();
}

void ProfileFile::WriteStrings(const QString &section, const QList<std::pair<QString, QString>> &keyValues)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    try {
        for (const auto &[key, value] : keyValues)
            SetKeyLocked(section, key, value);
    } catch (...) {
        m_loaded = false; // a refused value leaves none of the keys written
        throw;
    }
    SaveLocked();
}

void ProfileFile::WriteInteger(const QString &section, const QString &key, qint64 value)
{
    WriteString(section, key, FormatInt(value));
}

void ProfileFile::WriteReal(const QString &section, const QString &key, double value)
{
    WriteString(section, key, FormatReal(value));
}

void ProfileFile::WriteDate(const QString &section, const QString &key, const QDate &value)
{
    WriteString(section, key, DateText(value));
}

void ProfileFile::WriteDateTime(const QString &section, const QString &key, const QDateTime &value)
{
    WriteString(section, key, DateTimeText(value));
}

bool ProfileFile::EraseSectionLocked(const QString &section)
{
    const auto sit = m_sections.constFind(Name{Trimmed(section)});
    if (sit == m_sections.constEnd())
        return false;
    int last = sit->header + 1;
    while (last < m_lines.size() && !m_lines[last].isHeader)
        ++last;
    m_lines.remove(sit->header, last - sit->header);
    IndexLocked();
    return true;
}

void ProfileFile::EraseSection(const QString &section)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    if (EraseSectionLocked(section))
        SaveLocked();
}

void ProfileFile::Update(const std::function<void(Edit &)> &change)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    Edit edit(*this);
    try {
        change(edit);
    } catch (...) {
        // Drop the half-made change; the file on disk was never touched.
        m_loaded = false;
        throw;
    }
    if (edit.m_changed)
        SaveLocked();
}

void ProfileFile::Read(const std::function<void(const Reader &)> &reads)
{
    std::lock_guard lock(m_mutex);
    RefreshLocked();
    reads(Reader(*this));
}

QString ProfileFile::Reader::ReadString(const QString &section, const QString &key, const QString &defaultValue) const
{
    const Line *line = m_file.FindLocked(section, key);
    return line ? line->value : defaultValue;
}

qint64 ProfileFile::Reader::ReadInteger(const QString &section, const QString &key, qint64 defaultValue) const
{
    qint64 value = 0;
    return TryParseInt(ReadString(section, key), &value) ? value : defaultValue;
}

bool ProfileFile::Reader::HasSection(const QString &section) const
{
    return m_file.m_sections.contains(Name{Trimmed(section)});
}

QList<QString> ProfileFile::Reader::ReadSectionNames() const
{
    return m_file.SectionNamesLocked();
}

quint64 ProfileFile::Reader::Generation() const
{
    return m_file.m_generation;
}

void ProfileFile::Edit::WriteString(const QString &section, const QString &key, const QString &value)
{
    m_file.SetKeyLocked(section, key, value);
    m_changed = true;
}

void ProfileFile::Edit::WriteInteger(const QString &section, const QString &key, qint64 value)
{
    WriteString(section, key, FormatInt(value));
}

void ProfileFile::Edit::EraseSection(const QString &section)
{
    if (m_file.EraseSectionLocked(section))
        m_changed = true;
}

void ProfileFile::InvalidateCache()
{
    std::lock_guard lock(m_mutex);
    m_loaded = false;
}

} // namespace qst
