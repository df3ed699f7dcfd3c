#pragma once

#include "exchange/MeterSummary.h"

#include <QAbstractTableModel>
#include <QWidget>

class QSortFilterProxyModel;
class QLabel;
class QTableView;

namespace qst {

// One row per meter of the summary; numbers and times stay raw (kRawRole) for sorting and
// are formatted only for display.
class TSummaryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        kColName,
        kColSerial,
        kColGroup,
        kColLastAnswer,
        kColFailure,
        kColNewestHourly,
        kColNewestDaily,
        kColNewestMonthly,
        kColMissingHours,
        kColNsFlags,
        kColOverdue,
        kColumnCount,
    };
    static constexpr int kRawRole = Qt::UserRole + 1;
    static constexpr int kMeterRole = Qt::UserRole + 2;

    using QAbstractTableModel::QAbstractTableModel;
    void SetRows(QList<MeterSummaryRow> rows);
    const QList<MeterSummaryRow> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<MeterSummaryRow> m_rows;
};

// The "Сводка" page: every meter's health at a glance; a double click asks for the meter.
class TSummaryPage : public QWidget
{
    Q_OBJECT

public:
    explicit TSummaryPage(QWidget *parent = nullptr);
    void SetRows(QList<MeterSummaryRow> rows);
    // The active alarms above the table; hidden when empty.
    void SetAlarmsText(const QString &text);
    // One line about mail not yet sent; hidden when empty.
    void SetMailLine(const QString &line);
    TSummaryModel *model() const { return m_model; }
    QTableView *view() const { return SummaryLV; }

signals:
    void MeterActivated(int meter);

private:
    TSummaryModel *m_model;
    QSortFilterProxyModel *m_proxy;
    QTableView *SummaryLV;
    QLabel *AlarmsLB;
    QLabel *MailLabel;
};

} // namespace qst
