// The "Сводка" page and the tree's mark of meters that do not answer.
#include "AppTexts.h"
#include "MainForm.h"
#include "SummaryPage.h"
#include "UiSupport.h"

#include "common/DayCount.h"
#include "common/TextFile.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/MeterHealth.h"
#include "notify/Alarms.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "storage/ArchiveFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

int AddMeterNamed(Registry &registry, const QString &name, int serial, const QString &schedule)
{
    MeterRecord m;
    m.name = name;
    m.serial = QString::number(serial);
    m.address = QStringLiteral("1");
    m.port = 1;
    m.schedule = schedule.isEmpty() ? QStringList{} : QStringList{schedule};
    return AddMeter(registry, 0, m);
}

// Hours of today before the current one stored for the meter, but `skip` of them.
void StoreToday(const QString &root, quint16 serial, int skip)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDate today = now.date();
    QStringList lines;
    for (int h = 0; h < now.time().hour(); ++h) {
        if (h == skip)
            continue;
        // A whole first-version line (34 fields): a shorter one is damaged and counts as missing.
        lines << LineBuilder().Time(DayCountFromParts(today, QTime(h, 0))).Real(1).line()
                + QStringLiteral("0\t").repeated(kArchiveFieldsV1 - 2);
    }
    const QString path = DataFilePath(root, DataKind::Hourly, serial, today.year(), today.month());
    QDir().mkpath(QFileInfo(path).path());
    if (!lines.isEmpty())
        SaveLines(path, lines);
}

} // namespace

TEST(SummaryPage, ShowsEveryMeterSortsAndSelectsOnDoubleClick)
{
    TempDataRoot root;
    {
        Registry registry(TreeIniPath(root.path()));
        AddMeterNamed(registry, QStringLiteral("Школа №5"), 701, QStringLiteral("08:00"));
        AddMeterNamed(registry, QStringLiteral("Баня"), 702, QStringLiteral("08:00"));
        AddMeterNamed(registry, QStringLiteral("Аптека"), 703, QString());
        // 701 answered a week ago and not since: overdue. 702 answered now.
        MeterHealth health(root.path());
        const double now = DayCountFromDateTime(QDateTime::currentDateTime());
        health.PollQueued(701, now - 8);
        health.Answered(701, now - 7);
        health.PollQueued(701, now - 0.1);
        health.Failed(701, now - 0.1, QStringLiteral("Не удалось прочитать серийный номер прибора. Код ошибки: -1"));
        health.PollQueued(702, now - 0.1);
        health.Answered(702, now - 0.1);
        health.Flush();
    }
    StoreToday(root.path(), 702, 1);
    StoreToday(root.path(), 701, -1);

    TMainForm form(root.path(), false);
    form.show();
    QTreeWidget *tree = form.findChild<QTreeWidget *>(QStringLiteral("MainTree"));
    ASSERT_TRUE(tree);
    // The overdue meter stands out in the tree; the others do not.
    int marked = 0;
    QString markedName;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, Qt::UserRole + 2).toBool()) {
            ++marked;
            markedName = (*it)->text(0);
            EXPECT_EQ((*it)->toolTip(0), ui::kOverdueTip);
        }
    }
    EXPECT_EQ(marked, 1);
    EXPECT_TRUE(markedName.contains(QStringLiteral("Школа"))) << markedName.toStdString();

    // Select a meter so the page row shows, then open "Сводка".
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    tree->topLevelItem(0)->child(0)->setSelected(true);
    auto *pages = form.findChild<QTabWidget *>(QStringLiteral("MainPC"));
    ASSERT_TRUE(pages);
    int summaryPage = -1;
    for (int i = 0; i < pages->count(); ++i)
        if (pages->tabText(i) == QStringLiteral("Сводка"))
            summaryPage = i;
    ASSERT_GE(summaryPage, 0);
    pages->setCurrentIndex(summaryPage);
    auto *view = form.findChild<QTableView *>(QStringLiteral("SummaryLV"));
    ASSERT_TRUE(view);
    QAbstractItemModel *model = view->model();
    ASSERT_EQ(model->rowCount(), 3);
    auto cell = [&](int row, int column) { return model->index(row, column).data().toString(); };
    // Sorted by name: Аптека, Баня, Школа.
    EXPECT_EQ(cell(0, TSummaryModel::kColName), QStringLiteral("Аптека"));
    EXPECT_EQ(cell(2, TSummaryModel::kColName), QStringLiteral("Школа №5"));
    EXPECT_EQ(cell(2, TSummaryModel::kColOverdue), ui::kSummaryOverdue);
    EXPECT_TRUE(cell(2, TSummaryModel::kColFailure).startsWith(QStringLiteral("Не удалось прочитать")));
    EXPECT_EQ(cell(0, TSummaryModel::kColOverdue), QString()) << "no schedule: never overdue";
    // From 02:00 the 01:00 hour is complete, and missing even when nothing follows it.
    if (QTime::currentTime().hour() >= 2)
        EXPECT_EQ(cell(1, TSummaryModel::kColMissingHours), QStringLiteral("1")) << "Баня misses its 01:00 record";
    else
        EXPECT_EQ(cell(1, TSummaryModel::kColMissingHours), QStringLiteral("0"));

    // Sorting by the overdue column puts the overdue meter last, by its raw value.
    view->sortByColumn(TSummaryModel::kColOverdue, Qt::AscendingOrder);
    EXPECT_EQ(cell(2, TSummaryModel::kColName), QStringLiteral("Школа №5"));
    view->sortByColumn(TSummaryModel::kColSerial, Qt::DescendingOrder);
    EXPECT_EQ(cell(0, TSummaryModel::kColSerial), QStringLiteral("703"));

    // A double click on a row selects its meter in the tree.
    view->sortByColumn(TSummaryModel::kColName, Qt::AscendingOrder);
    const QModelIndex school = model->index(2, TSummaryModel::kColName);
    view->scrollTo(school);
    const QRect rect = view->visualRect(school);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    ASSERT_EQ(tree->selectedItems().size(), 1);
    EXPECT_EQ(tree->selectedItems().first()->text(0), markedName);

    // From the root: the summary alone, short status columns first, long texts last and cut.
    tree->clearSelection();
    form.SelectNode(0);
    EXPECT_EQ(form.MainPC->currentWidget(), form.SummaryTS);
    EXPECT_EQ(model->rowCount(), 3);
    QHeaderView *header = view->horizontalHeader();
    EXPECT_EQ(header->visualIndex(TSummaryModel::kColOverdue), 0);
    EXPECT_EQ(header->visualIndex(TSummaryModel::kColFailure), TSummaryModel::kColumnCount - 1);
    EXPECT_LE(view->columnWidth(TSummaryModel::kColGroup), 220);
    view->horizontalScrollBar()->setValue(0);
    Screenshot(&form, QStringLiteral("summary-page"));
}

TEST(SummaryPage, ShowsTheActiveAlarmsTheServiceRaised)
{
    TempDataRoot root;
    {
        Registry registry(TreeIniPath(root.path()));
        AddMeterNamed(registry, QStringLiteral("Баня"), 702, QStringLiteral("08:00"));
    }
    auto openSummary = [](TMainForm &form) {
        form.show();
        auto *pages = form.findChild<QTabWidget *>(QStringLiteral("MainPC"));
        for (int i = 0; pages && i < pages->count(); ++i) {
            if (pages->tabText(i) == QStringLiteral("Сводка"))
                pages->setCurrentIndex(i);
        }
        return form.findChild<QLabel *>(QStringLiteral("AlarmsLB"));
    };
    {
        TMainForm form(root.path(), false);
        QLabel *label = openSummary(form);
        ASSERT_TRUE(label);
        EXPECT_TRUE(label->isHidden());
        EXPECT_TRUE(label->text().isEmpty());
    }
    AlarmMonitor(root.path()).Update({{QStringLiteral("overdue"), 702, {}, QStringLiteral("Прибор не отвечает")}}, 6,
                                     QDateTime(QDate(2026, 12, 11), QTime(9, 5)));
    TMainForm form(root.path(), false);
    QLabel *label = openSummary(form);
    ASSERT_TRUE(label);
    EXPECT_FALSE(label->isHidden());
    EXPECT_EQ(label->text(), QStringLiteral("Тревога: нет ответа, прибор 702 (с 11.12.2026 9:05:00): Прибор не отвечает"));
}
