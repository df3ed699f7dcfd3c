#include "ArchiveTableModel.h"

#include "AppTexts.h"
#include "ArchiveView.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"

namespace qst {

namespace {

using Column = ArchiveTableModel::Column;

QList<Column> ColumnsOf(ArchiveTable table)
{
    const QString dt = ui::kDateTime;
    switch (table) {
    case ArchiveTable::HeatSystem1:
        return {{dt, 0, 0, u""},
                {QStringLiteral("Q (ГКал)"), 1, 0, u"0.####"},
                {QStringLiteral("М1 (тонн)"), 3, 0, u"0.###"},
                {QStringLiteral("М2 (тонн)"), 4, 0, u"0.###"},
                {QStringLiteral("V1 (м^3)"), 7, 0, u"0.###"},
                {QStringLiteral("V2 (м^3)"), 8, 0, u"0.###"},
                {QStringLiteral("Т1 (°С)"), 12, 0, u"0.##"},
                {QStringLiteral("Т2 (°С)"), 13, 0, u"0.##"},
                {QStringLiteral("Т1-Т2 (°С)"), 12, 13, u"0.##"},
                {QStringLiteral("Р1 (кгс/см^2)"), 16, 0, u"0.##"},
                {QStringLiteral("Р2 (кгс/см^2)"), 17, 0, u"0.##"},
                {QStringLiteral("ВНР (час)"), 28, 0, u"0.##"},
                {QStringLiteral("ВНС (час)"), 29, 0, u"0.##"},
                {QStringLiteral("НС1"), 23, 0, nullptr},
                {QStringLiteral("НС2"), 24, 0, nullptr}};
    case ArchiveTable::HeatSystem2:
        return {{dt, 0, 0, u""},
                {QStringLiteral("Q (ГКал)"), 2, 0, u"0.####"},
                {QStringLiteral("М3 (тонн)"), 5, 0, u"0.###"},
                {QStringLiteral("М4 (тонн)"), 6, 0, u"0.###"},
                {QStringLiteral("V3 (м^3)"), 9, 0, u"0.###"},
                {QStringLiteral("V4 (м^3)"), 10, 0, u"0.###"},
                {QStringLiteral("Т3 (°С)"), 14, 0, u"0.##"},
                {QStringLiteral("Т4 (°С)"), 15, 0, u"0.##"},
                {QStringLiteral("Т3-Т4 (°С)"), 14, 15, u"0.##"},
                {QStringLiteral("Р3 (кгс/см^2)"), 18, 0, u"0.##"},
                {QStringLiteral("Р4 (кгс/см^2)"), 19, 0, u"0.##"},
                {QStringLiteral("ВНР (час)"), 30, 0, u"0.##"},
                {QStringLiteral("ВНС (час)"), 31, 0, u"0.##"},
                {QStringLiteral("НС3"), 25, 0, nullptr},
                {QStringLiteral("НС4"), 26, 0, nullptr}};
    case ArchiveTable::ColdWater:
        break;
    }
    return {{dt, 0, 0, u""},
            {QStringLiteral("V5 (м^3)"), 11, 0, u"0.###"},
            {QStringLiteral("Т5 (°С)"), 20, 0, u"0.##"},
            {QStringLiteral("Р5 (кгс/см^2)"), 21, 0, u"0.##"},
            {QStringLiteral("ВНР (час)"), 32, 0, u"0.##"},
            {QStringLiteral("ВНС (час)"), 33, 0, u"0.##"},
            {QStringLiteral("НС5"), 27, 0, nullptr}};
}

} // namespace

ArchiveTableModel::ArchiveTableModel(ArchiveTable table, bool dateOnly, QObject *parent)
    : QAbstractTableModel(parent), m_columns(ColumnsOf(table)), m_dateOnly(dateOnly)
{
}

void ArchiveTableModel::SetRecords(QList<ArchiveRecord> records)
{
    beginResetModel();
    m_records = std::move(records);
    endResetModel();
}

int ArchiveTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_records.size());
}

int ArchiveTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

double ArchiveTableModel::RawValue(int row, int column) const
{
    const ArchiveRecord &r = m_records[row];
    const Column &c = m_columns[column];
    if (c.minusField > 0)
        return static_cast<float>(ArchiveField(r, c.field)) - static_cast<float>(ArchiveField(r, c.minusField));
    return ArchiveField(r, c.field);
}

QString ArchiveTableModel::DisplayText(int row, int column) const
{
    const Column &c = m_columns[column];
    const double value = RawValue(row, column);
    if (c.field == 0)
        return m_dateOnly ? DateText(DateFromDayCount(value)) : DateTimeText(value);
    if (!c.pattern)
        return FormatInt(static_cast<qint64>(value));
    return FormatPattern(value, QStringView(c.pattern));
}

QVariant ArchiveTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_records.size() || index.column() >= m_columns.size())
        return {};
    if (role == Qt::DisplayRole)
        return DisplayText(index.row(), index.column());
    if (role == RawRole)
        return RawValue(index.row(), index.column());
    return {};
}

QVariant ArchiveTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_columns.size())
        return m_columns[section].title;
    return QAbstractTableModel::headerData(section, orientation, role);
}

JournalTableModel::JournalTableModel(QObject *parent) : QAbstractTableModel(parent) {}

void JournalTableModel::SetRecords(QList<JARecord> records)
{
    beginResetModel();
    m_records = std::move(records);
    endResetModel();
}

int JournalTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_records.size());
}

int JournalTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 4;
}

QVariant JournalTableModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_records.size())
        return {};
    const JARecord &r = m_records[index.row()];
    switch (index.column()) {
    case 0:
        return DateTimeText(r.time);
    case 1:
        return r.text;
    case 2:
        return r.oldValue;
    case 3:
        return r.newValue;
    default:
        return {};
    }
}

QVariant JournalTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        const QString titles[] = {ui::kDateTime, ui::kJournalText, ui::kOldValue, ui::kNewValue};
        if (section >= 0 && section < 4)
            return titles[section];
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

} // namespace qst
