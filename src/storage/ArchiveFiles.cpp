#include "ArchiveFiles.h"

#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QDir>
#include <QHash>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace qst {

LineBuilder &LineBuilder::Time(double dayCount)
{
    return Real(dayCount);
}

LineBuilder &LineBuilder::Real(double value)
{
    m_line += FormatReal(value);
    m_line += u'\t';
    return *this;
}

LineBuilder &LineBuilder::Int(qint64 value)
{
    m_line += FormatInt(value);
    m_line += u'\t';
    return *this;
}

LineBuilder &LineBuilder::Text(const QString &text)
{
    m_line += text;
    m_line += u'\t';
    return *this;
}

QString BuildJournalLine(double time, const QString &text, const QString &oldValue, const QString &newValue)
{
    return LineBuilder().Time(time).Text(text).Text(oldValue).Text(newValue).line();
}

QList<QStringView> SplitFields(QStringView line)
{
    QList<QStringView> fields;
    qsizetype start = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == u'\t') {
            fields.append(line.sliced(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

namespace {

// Walks the fields of a line without building a list.
class FieldReader
{
public:
    explicit FieldReader(QStringView line)
        : m_line(line)
    {
    }

    // The next field; false when no TAB-terminated field is left.
    bool Next(QStringView *field)
    {
        const qsizetype tab = m_line.indexOf(u'\t', m_pos);
        if (tab < 0)
            return false;
        *field = m_line.sliced(m_pos, tab - m_pos);
        m_pos = tab + 1;
        return true;
    }

private:
    QStringView m_line;
    qsizetype m_pos = 0;
};

bool Real(QStringView field, double *v)
{
    return TryParseReal(field, v);
}

bool Int(QStringView field, int *v)
{
    qint64 n = 0;
    if (!TryParseInt(field, &n) || n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        return false;
    *v = static_cast<int>(n);
    return true;
}

StorageError LineError(QStringView line)
{
    return StorageError(QStringLiteral("Строка архива не распознана: %1").arg(line.left(120).toString()));
}

} // namespace

bool TryParseArchiveLine(QStringView line, ArchiveRecord *record)
{
    // A line cut short would read as zeros: only the whole layout of either version counts.
    const qsizetype fields = line.count(u'\t');
    if (fields != kArchiveFieldsV1 && fields < kArchiveFieldsV2)
        return false;
    ArchiveRecord r;
    FieldReader reader(line);
    QStringView f;
    double v = 0;
    for (int k = 0; k < kArchiveFieldsV2 && reader.Next(&f); ++k) {
        if (k == 0) {
            if (!Real(f, &r.time))
                return false;
        } else if (k <= 19) {
            if (!Real(f, &v))
                return false;
            r.values[k - 1] = static_cast<float>(v);
        } else if (k == 20) {
            if (!Real(f, &v))
                return false;
            r.t5 = static_cast<float>(v * 0.01);
        } else if (k == 21) {
            if (!Real(f, &v))
                return false;
            r.p5 = static_cast<float>(v * 0.001);
        } else if (k == 22) {
            int status = 0;
            if (!Int(f, &status))
                return false;
            r.status = static_cast<float>(status);
        } else if (k <= 27) {
            if (!Int(f, &r.ns[k - 23]))
                return false;
        } else {
            if (!Real(f, &v))
                return false;
            r.hours[k - 28] = static_cast<float>(v / 60.0);
        }
    }
    *record = r;
    return true;
}

QStringList LoadArchiveLines(const QString &path, int *repeated)
{
    QStringList lines = LoadLines(path);
    QHash<qint64, qsizetype> last;
    QList<qint64> keys(lines.size(), -1);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype tab = lines[i].indexOf(u'\t');
        double time = 0;
        if (tab > 0 && TryParseReal(QStringView(lines[i]).left(tab), &time) && !DateFromDayCount(time).isNull()) {
            keys[i] = TimeKey(time);
            last[keys[i]] = i;
        }
    }
    if (last.size() == std::count_if(keys.cbegin(), keys.cend(), [](qint64 k) { return k >= 0; }))
        return lines;
    QStringList kept;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (keys[i] < 0 || last.value(keys[i]) == i)
            kept.append(lines[i]);
    }
    const qsizetype dropped = lines.size() - kept.size();
    if (repeated)
        *repeated += int(dropped);
    qWarning("%s", qUtf8Printable(QStringLiteral("%1: строк с повторным временем %2 (использована последняя)")
                                      .arg(QDir::toNativeSeparators(path))
                                      .arg(dropped)));
    return kept;
}

ArchiveRecord ParseArchiveLine(QStringView line)
{
    ArchiveRecord r;
    if (!TryParseArchiveLine(line, &r))
        throw LineError(line);
    return r;
}

bool TryParseHistoryLine(QStringView line, CurrentHistoryRecord *record)
{
    CurrentHistoryRecord r;
    FieldReader reader(line);
    QStringView f;
    double v = 0;
    for (int k = 0; k < kHistoryFieldsV2 && reader.Next(&f); ++k) {
        if (k == 0) {
            if (!Real(f, &r.time))
                return false;
        } else if (k >= 33 && k <= 37) {
            if (!Int(f, &r.ns[k - 33]))
                return false;
        } else {
            if (!Real(f, &v))
                return false;
            if (k <= 10)
                r.tempsPressures[k - 1] = static_cast<float>(v);
            else if (k <= 21)
                r.totals[k - 11] = static_cast<float>(v);
            else if (k <= 32)
                r.rates[k - 22] = static_cast<float>(v);
            else
                r.hours[k - 38] = static_cast<float>(v / 60.0);
        }
    }
    *record = r;
    return true;
}

CurrentHistoryRecord ParseHistoryLine(QStringView line)
{
    CurrentHistoryRecord r;
    if (!TryParseHistoryLine(line, &r))
        throw LineError(line);
    return r;
}

bool TryParseJournalLine(QStringView line, JARecord *record)
{
    JARecord r;
    FieldReader reader(line);
    QStringView f;
    if (reader.Next(&f) && !Real(f, &r.time))
        return false;
    if (reader.Next(&f))
        r.text = f.toString();
    if (reader.Next(&f))
        r.oldValue = f.toString();
    if (reader.Next(&f))
        r.newValue = f.toString();
    *record = std::move(r);
    return true;
}

JARecord ParseJournalLine(QStringView line)
{
    JARecord r;
    if (!TryParseJournalLine(line, &r))
        throw LineError(line);
    return r;
}

double LineTime(QStringView line)
{
    const qsizetype tab = line.indexOf(u'\t');
    double t = 0;
    if (!TryParseReal(tab < 0 ? line : line.left(tab), &t))
        throw StorageError(QStringLiteral("Неверное время в строке архива: %1").arg(line.left(120).toString()));
    return t;
}

void EnsureMeterFolder(const QString &filePath)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (QFileInfo(folder).isDir())
        return;
    if (!QDir().mkdir(folder))
        throw StorageError(QStringLiteral("Не удалось создать папку %1").arg(QDir::toNativeSeparators(folder)));
}

namespace {

constexpr qint64 kUnknownKey = std::numeric_limits<qint64>::min();

// A loaded line file with the time keys of its lines worked out on first use, so a scan
// that stops early never parses the lines after the stop, as the one-line insert does.
class KeyedLines
{
public:
    explicit KeyedLines(const QString &path)
        : m_path(path)
    {
        EnsureMeterFolder(path);
        m_lines = LoadLines(path);
        m_keys.fill(kUnknownKey, m_lines.size());
    }

    qsizetype size() const { return m_lines.size(); }
    const QString &line(qsizetype i) const { return m_lines[i]; }

    qint64 key(qsizetype i)
    {
        if (m_keys[i] == kUnknownKey)
            m_keys[i] = TimeKey(LineTime(m_lines[i]));
        return m_keys[i];
    }

    void insert(qsizetype i, const QString &line)
    {
        m_lines.insert(i, line);
        m_keys.insert(i, kUnknownKey);
        m_changed = true;
    }

    void replace(qsizetype i, const QString &line)
    {
        if (m_lines[i] == line)
            return;
        m_lines[i] = line;
        m_keys[i] = kUnknownKey;
        m_changed = true;
    }

    void saveIfChanged()
    {
        if (m_changed)
            SaveLines(m_path, m_lines);
        m_changed = false;
    }

private:
    QString m_path;
    QStringList m_lines;
    QList<qint64> m_keys;
    bool m_changed = false;
};

const qint64 kZeroKey = TimeKey(0);

bool InsertOneArchiveLine(KeyedLines &file, const QString &line, double time, bool overwrite, bool repairDamaged = false)
{
    const qint64 t = TimeKey(time);
    qint64 prev = kZeroKey;
    for (qsizetype i = 0; i < file.size(); ++i) {
        const qint64 cur = file.key(i);
        if (prev < t && t < cur) {
            file.insert(i, line);
            return true;
        }
        if (t == cur) {
            // A damaged line is no record: a fresh reading replaces it even without overwrite.
            ArchiveRecord stored;
            const bool replace = overwrite || (repairDamaged && !TryParseArchiveLine(file.line(i), &stored));
            if (replace)
                file.replace(i, line);
            return replace;
        }
        prev = cur;
    }
    file.insert(file.size(), line);
    return true;
}

bool InsertOneJournalLine(KeyedLines &file, const QString &line, double time)
{
    const qint64 t = TimeKey(time);
    qint64 prev = kZeroKey;
    for (qsizetype s = 0; s < file.size(); ++s) {
        const qint64 cur = file.key(s);
        if (prev < t && t < cur) {
            file.insert(s, line);
            return false;
        }
        if (t == cur) {
            for (qsizetype k = s; k < file.size(); ++k) {
                if (file.line(k) == line)
                    return true;
            }
            file.insert(s + 1, line);
            return false;
        }
        prev = cur;
    }
    file.insert(file.size(), line);
    return false;
}

} // namespace

bool InsertArchiveLine(const QString &path, const QString &line, double time, bool overwrite, bool repairDamaged)
{
    KeyedLines file(path);
    const bool stored = InsertOneArchiveLine(file, line, time, overwrite, repairDamaged);
    file.saveIfChanged();
    return stored;
}

bool InsertJournalLine(const QString &path, const QString &line, double time)
{
    KeyedLines file(path);
    const bool duplicate = InsertOneJournalLine(file, line, time);
    file.saveIfChanged();
    return duplicate;
}

void InsertArchiveLines(const QString &path, const QList<TimedLine> &lines, bool overwrite)
{
    if (lines.isEmpty())
        return;
    KeyedLines file(path);
    try {
        for (const TimedLine &l : lines)
            InsertOneArchiveLine(file, l.line, l.time, overwrite);
    } catch (const StorageError &) {
        file.saveIfChanged();
        throw;
    }
    file.saveIfChanged();
}

QList<bool> InsertJournalLines(const QString &path, const QList<TimedLine> &lines)
{
    QList<bool> duplicates;
    if (lines.isEmpty())
        return duplicates;
    KeyedLines file(path);
    duplicates.reserve(lines.size());
    try {
        for (const TimedLine &l : lines)
            duplicates.append(InsertOneJournalLine(file, l.line, l.time));
    } catch (const StorageError &) {
        file.saveIfChanged();
        throw;
    }
    file.saveIfChanged();
    return duplicates;
}

bool WriteCurrentValuesIfNewer(ProfileFile &file, double time, const QList<std::pair<QString, QString>> &keys)
{
    // Compared to the millisecond: the stored time comes back from 15-digit text, so an
    // equal reading must not pass for a newer one.
    const double stored = file.ReadReal(kCurrDataSection, QStringLiteral("DTFloat"), 0);
    if (DayCountToMs(stored) >= DayCountToMs(time))
        return false;
    file.WriteStrings(kCurrDataSection, keys);
    return true;
}

} // namespace qst
