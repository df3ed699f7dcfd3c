#include "Registry.h"

#include "common/RegionalFormat.h"
#include "common/StorageError.h"

#include <algorithm>

namespace qst {

QString MeterSection(int meterNumber)
{
    return QStringLiteral("C") + QString::number(meterNumber);
}

QString GroupSection(int groupNumber)
{
    return QStringLiteral("G") + QString::number(groupNumber);
}

QString AppendToNumberList(const QString &list, int number)
{
    if (list.isEmpty())
        return QString::number(number);
    return list + u',' + QString::number(number);
}

QString RemoveFromNumberList(const QString &list, int number)
{
    const QString wanted = QString::number(number);
    QStringList kept;
    for (const QString &element : list.split(u',')) {
        if (element != wanted)
            kept.append(element);
    }
    // Splitting an empty list gives one empty element; joining it back keeps the list empty.
    return kept.join(u',');
}

QList<int> ParseNumberList(const QString &list)
{
    QList<int> numbers;
    for (const QString &element : list.split(u',', Qt::SkipEmptyParts)) {
        qint64 n = 0;
        if (TryParseInt(element, &n) && n >= 0 && n <= INT_MAX)
            numbers.append(static_cast<int>(n));
    }
    return numbers;
}

Registry::Registry(const QString &treeIniPath)
    : m_file(treeIniPath)
{
}

int Registry::MaxMeterNumber()
{
    int max = 0;
    m_file.Read([&](const ProfileFile::Reader &ini) { max = MaxMeterNumber(ini); });
    return max;
}

int Registry::MaxMeterNumber(const ProfileFile::Reader &ini)
{
    return static_cast<int>(std::clamp<qint64>(ini.ReadInteger(reg::kTree, reg::kMaxCNum, 0), 0, kMaxRegistryNumber));
}

QList<int> Registry::MeterNumbers()
{
    QList<int> numbers;
    m_file.Read([&](const ProfileFile::Reader &ini) { numbers = MeterNumbers(ini); });
    return numbers;
}

QList<int> Registry::MeterNumbers(const ProfileFile::Reader &ini)
{
    const int max = MaxMeterNumber(ini);
    QList<int> numbers;
    for (const QString &section : ini.ReadSectionNames()) {
        if (section.size() < 2 || section.size() > 7 || section[0].toUpper() != u'C')
            continue;
        bool ok = false;
        const int n = section.mid(1).toInt(&ok);
        // Only the spelling MeterSection makes ("C7", not "C07" or "C+7") names a meter.
        if (ok && n >= 1 && n <= max && QString::number(n) == section.mid(1))
            numbers.append(n);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

namespace {

[[noreturn]] void ThrowDamagedNumber(const QString &key, const QString &text)
{
    throw StorageError(QStringLiteral("Файл Tree.ini повреждён: значение %1 = %2 вне допустимых пределов "
                                      "(номера от 1 до %3). Исправьте файл; изменения не записаны.")
                           .arg(key, text)
                           .arg(kMaxRegistryNumber));
}

} // namespace

int Registry::IssueMeterNumber(ProfileFile::Edit &edit)
{
    const QString text = edit.ReadString(reg::kTree, reg::kMaxCNum);
    qint64 max = 0;
    if (!TryParseInt(text, &max))
        max = 0; // absent or no number: the default, as every reader takes it
    if (max < 0 || max >= kMaxRegistryNumber)
        ThrowDamagedNumber(reg::kMaxCNum, text.trimmed());
    const int number = static_cast<int>(max) + 1;
    edit.WriteInteger(reg::kTree, reg::kMaxCNum, number);
    return number;
}

int Registry::IssueMeterNumber()
{
    int number = 0;
    m_file.Update([&](ProfileFile::Edit &edit) { number = IssueMeterNumber(edit); });
    return number;
}

int Registry::IssueGroupNumber(ProfileFile::Edit &edit)
{
    const QString list = edit.ReadString(reg::kTree, reg::kGroupList);
    int number = 1;
    if (!list.isEmpty()) {
        const QString lastText = list.section(u',', -1);
        qint64 last = 0;
        TryParseInt(lastText, &last);
        if (last < 0 || last >= kMaxRegistryNumber)
            ThrowDamagedNumber(reg::kGroupList, lastText.trimmed());
        number = static_cast<int>(last) + 1;
    }
    edit.WriteString(reg::kTree, reg::kGroupList, AppendToNumberList(list, number));
    return number;
}

int Registry::IssueGroupNumber()
{
    int number = 0;
    m_file.Update([&](ProfileFile::Edit &edit) { number = IssueGroupNumber(edit); });
    return number;
}

void Registry::AppendNumber(const QString &section, const QString &key, int number)
{
    m_file.WriteString(section, key, AppendToNumberList(m_file.ReadString(section, key), number));
}

void Registry::RemoveNumber(const QString &section, const QString &key, int number)
{
    m_file.WriteString(section, key, RemoveFromNumberList(m_file.ReadString(section, key), number));
}

int Registry::FindMeterBySerialText(quint16 serial)
{
    const QString wanted = QString::number(serial);
    int found = 0;
    m_file.Read([&](const ProfileFile::Reader &ini) {
        for (int n : MeterNumbers(ini)) {
            if (ini.ReadString(MeterSection(n), reg::kSerial).trimmed() == wanted) {
                found = n;
                return;
            }
        }
    });
    return found;
}

int Registry::FindMeterBySerialInt(qint64 serial)
{
    int found = 0;
    m_file.Read([&](const ProfileFile::Reader &ini) {
        // Only touched under the file's lock, so no lock of its own.
        if (!m_bySerialValid || m_bySerialGeneration != ini.Generation()) {
            m_bySerial.clear();
            for (int n : MeterNumbers(ini)) {
                const qint64 key = ini.ReadInteger(MeterSection(n), reg::kSerial, 0);
                if (!m_bySerial.contains(key)) // the first meter wins
                    m_bySerial.insert(key, n);
            }
            m_bySerialGeneration = ini.Generation();
            m_bySerialValid = true;
        }
        found = m_bySerial.value(serial, 0);
    });
    return found;
}

int Registry::RegisterDumpMeter(quint16 serial)
{
    int number = 0;
    const QString text = QString::number(serial);
    m_file.Update([&](ProfileFile::Edit &edit) {
        number = IssueMeterNumber(edit);
        const QString root = GroupSection(0);
        edit.WriteString(root, reg::kCList, AppendToNumberList(edit.ReadString(root, reg::kCList), number));
        const QString section = MeterSection(number);
        edit.WriteString(section, reg::kName, text);
        edit.WriteString(section, reg::kSerial, text);
        edit.WriteString(section, reg::kAddress, QStringLiteral("1"));
        edit.WriteString(section, reg::kCom, QStringLiteral("1"));
        edit.WriteString(section, reg::kModem, QStringLiteral("0"));
        edit.WriteString(section, reg::kParent, QStringLiteral("0"));
    });
    return number;
}

} // namespace qst
