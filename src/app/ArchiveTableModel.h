#pragma once

#include "storage/ArchiveView.h"

#include <QAbstractTableModel>
#include <QList>

namespace qst {

// A record's time on the pages: the date and the time, "0:00:00" at midnight included.
QString PageDateTimeText(double dayCount);

// An archive table over the records as read; numbers stay raw (RawRole) and are formatted
// with the regional format only for display.
class ArchiveTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int RawRole = Qt::UserRole + 1;

    ArchiveTableModel(ArchiveTable table, bool dateOnly, QObject *parent = nullptr);

    void SetRecords(QList<ArchiveRecord> records);
    const QList<ArchiveRecord> &records() const { return m_records; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // What a cell holds, before and after formatting.
    double RawValue(int row, int column) const;
    QString DisplayText(int row, int column) const;

private:
    QList<ArchiveColumn> m_columns;
    QList<ArchiveRecord> m_records;
    bool m_dateOnly;
};

class JournalTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit JournalTableModel(QObject *parent = nullptr);

    void SetRecords(QList<JARecord> records);
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QList<JARecord> m_records;
};

} // namespace qst
