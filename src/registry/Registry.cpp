#include "Registry.h"

#include "common/RegionalFormat.h"

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
    return static_cast<int>(m_file.ReadInteger(reg::kTree, reg::kMaxCNum, 0));
}

int Registry::IssueMeterNumber()
{
    const int number = MaxMeterNumber() + 1;
    m_file.WriteInteger(reg::kTree, reg::kMaxCNum, number);
    return number;
}

int Registry::IssueGroupNumber()
{
    const QString list = m_file.ReadString(reg::kTree, reg::kGroupList);
    int number = 1;
    if (!list.isEmpty()) {
        qint64 last = 0;
        TryParseInt(list.section(u',', -1), &last);
        number = static_cast<int>(last) + 1;
    }
    m_file.WriteString(reg::kTree, reg::kGroupList, AppendToNumberList(list, number));
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
    const int max = MaxMeterNumber();
    for (int n = 1; n <= max; ++n) {
        if (m_file.ReadString(MeterSection(n), reg::kSerial).trimmed() == wanted)
            return n;
    }
    return 0;
}

int Registry::FindMeterBySerialInt(qint64 serial)
{
    const int max = MaxMeterNumber();
    for (int n = 1; n <= max; ++n) {
        if (m_file.ReadInteger(MeterSection(n), reg::kSerial, 0) == serial)
            return n;
    }
    return 0;
}

int Registry::RegisterDumpMeter(quint16 serial)
{
    const int number = IssueMeterNumber();
    AppendNumber(GroupSection(0), reg::kCList, number);
    const QString text = QString::number(serial);
    m_file.WriteStrings(MeterSection(number),
                        {{reg::kName, text},
                         {reg::kSerial, text},
                         {reg::kAddress, QStringLiteral("1")},
                         {reg::kCom, QStringLiteral("1")},
                         {reg::kModem, QStringLiteral("0")},
                         {reg::kParent, QStringLiteral("0")}});
    return number;
}

} // namespace qst
