#include "ArchiveTableModel.h"

#include "AppTexts.h"
#include "storage/ArchiveView.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"

namespace qst {

QString PageDateTimeText(double dayCount)
{
    // Documents keep the bare date of a midnight; in a table column of times it reads as a
    // missing time, so the pages always show one.
    QDate date;
    QTime time;
    if (!SplitDayCount(dayCount, &date, &time))
        return {};
    return DateText(date) + u' ' + TimeText(time);
}


ArchiveTableModel::ArchiveTableModel(ArchiveTable table, bool dateOnly, QObject *parent)
    : QAbstractTableModel(parent), m_columns(ArchiveColumns(table)), m_dateOnly(dateOnly)
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
    return ArchiveColumnValue(m_records[row], m_columns[column]);
}

QString ArchiveTableModel::DisplayText(int row, int column) const
{
    const ArchiveColumn &c = m_columns[column];
    const double value = RawValue(row, column);
    if (c.field == 0)
        return m_dateOnly ? DateText(DateFromDayCount(value)) : PageDateTimeText(value);
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
        return PageDateTimeText(r.time);
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
