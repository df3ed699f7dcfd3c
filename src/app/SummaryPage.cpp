#include "SummaryPage.h"

#include "AppTexts.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"

#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QLabel>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace qst {

namespace {

constexpr int kLongTextWidth = 220;

} // namespace

void TSummaryModel::SetRows(QList<MeterSummaryRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int TSummaryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TSummaryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant TSummaryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const MeterSummaryRow &r = m_rows[index.row()];
    if (role == kMeterRole)
        return r.meter;
    if (role == Qt::ForegroundRole && r.overdue)
        return QBrush(QColor(0xb0, 0x00, 0x20));
    if (role == Qt::TextAlignmentRole && index.column() == kColSerial)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    const bool raw = role == kRawRole;
    if (!raw && role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    auto time = [raw](double t) -> QVariant {
        if (raw)
            return t;
        return t > 0 ? DateTimeText(t) : QStringLiteral("—");
    };
    switch (index.column()) {
    case kColName:
        return r.name;
    case kColSerial:
        return raw ? QVariant(int(r.serial)) : QVariant(QString::number(r.serial));
    case kColGroup:
        return r.group;
    case kColLastAnswer:
        return time(r.status.lastAnswer);
    case kColFailure:
        return r.status.failureText;
    case kColNewestHourly:
        return time(r.newest[0]);
    case kColNewestDaily:
        return raw ? QVariant(r.newest[1]) : QVariant(r.newest[1] > 0 ? DateText(DateFromDayCount(r.newest[1])) : QStringLiteral("—"));
    case kColNewestMonthly:
        return raw ? QVariant(r.newest[2])
                   : QVariant(r.newest[2] > 0 ? DateFromDayCount(r.newest[2]).toString(QStringLiteral("MM.yyyy"))
                                              : QStringLiteral("—"));
    case kColMissingHours:
        return raw ? QVariant(qlonglong(r.missingHours31)) : QVariant(QString::number(r.missingHours31));
    case kColNsFlags:
        return raw ? QVariant(r.nsFlags) : QVariant(r.nsFlags ? ui::kSummaryNsYes : QString());
    case kColOverdue:
        return raw ? QVariant(r.overdue ? 1 : 0) : QVariant(r.overdue ? ui::kSummaryOverdue : QString());
    default:
        return {};
    }
}

QVariant TSummaryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount)
        return {};
    return ui::kSummaryColumns[section];
}

TSummaryPage::TSummaryPage(QWidget *parent)
    : QWidget(parent)
    , m_model(new TSummaryModel(this))
    , m_proxy(new QSortFilterProxyModel(this))
    , SummaryLV(new QTableView)
    , AlarmsLB(new QLabel)
{
    setObjectName(QStringLiteral("SummaryTS"));
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortRole(TSummaryModel::kRawRole);
    SummaryLV->setObjectName(QStringLiteral("SummaryLV"));
    SummaryLV->setModel(m_proxy);
    SummaryLV->setSortingEnabled(true);
    SummaryLV->sortByColumn(TSummaryModel::kColName, Qt::AscendingOrder);
    SummaryLV->setSelectionBehavior(QAbstractItemView::SelectRows);
    SummaryLV->setSelectionMode(QAbstractItemView::SingleSelection);
    SummaryLV->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SummaryLV->verticalHeader()->hide();
    SummaryLV->horizontalHeader()->setStretchLastSection(true);
    // The short status columns first, the long texts last, cut with the whole text in a tip.
    QHeaderView *header = SummaryLV->horizontalHeader();
    const TSummaryModel::Column visual[] = {
        TSummaryModel::kColOverdue,       TSummaryModel::kColName,          TSummaryModel::kColSerial,
        TSummaryModel::kColLastAnswer,    TSummaryModel::kColNsFlags,       TSummaryModel::kColMissingHours,
        TSummaryModel::kColNewestHourly,  TSummaryModel::kColNewestDaily,   TSummaryModel::kColNewestMonthly,
        TSummaryModel::kColGroup,         TSummaryModel::kColFailure,
    };
    for (int i = 0; i < int(std::size(visual)); ++i)
        header->moveSection(header->visualIndex(visual[i]), i);
    SummaryLV->setWordWrap(false);
    SummaryLV->setTextElideMode(Qt::ElideRight);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    AlarmsLB->setObjectName(QStringLiteral("AlarmsLB"));
    AlarmsLB->setStyleSheet(QStringLiteral("color: #b00000;"));
    AlarmsLB->setTextFormat(Qt::PlainText);
    AlarmsLB->setWordWrap(true);
    AlarmsLB->hide();
    layout->addWidget(AlarmsLB);
    layout->addWidget(SummaryLV);
    MailLabel = new QLabel;
    MailLabel->setObjectName(QStringLiteral("MailLabel"));
    MailLabel->setWordWrap(true);
    MailLabel->hide();
    layout->addWidget(MailLabel);
    connect(SummaryLV, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid())
            emit MeterActivated(index.data(TSummaryModel::kMeterRole).toInt());
    });
}

void TSummaryPage::SetRows(QList<MeterSummaryRow> rows)
{
    m_model->SetRows(std::move(rows));
    SummaryLV->resizeColumnsToContents();
    for (int column : {TSummaryModel::kColName, TSummaryModel::kColGroup, TSummaryModel::kColFailure})
        SummaryLV->setColumnWidth(column, std::min(SummaryLV->columnWidth(column), kLongTextWidth));
}

void TSummaryPage::SetAlarmsText(const QString &text)
{
    AlarmsLB->setText(text);
    AlarmsLB->setVisible(!text.isEmpty());
}

void TSummaryPage::SetMailLine(const QString &line)
{
    MailLabel->setText(line);
    MailLabel->setVisible(!line.isEmpty());
}

} // namespace qst
