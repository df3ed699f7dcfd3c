#pragma once

#include "Pages.h"

#include "registry/Registry.h"
#include "reports/ReportDocuments.h"
#include "registry/TreeCommands.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QProgressDialog>
#include <QSet>

#include <functional>
#include <memory>

class QAction;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qst {

class ChartPage;
class ExchangeEngine;
class MeterHealth;
class MqttPublisher;
class NotifyService;
class Replicator;
class TSummaryPage;
class TClearForm;
class TMsgForm;
class TNewCounterForm;
class TNewFolderForm;
class TPB;
class TSetModemForm;

class TMainForm : public QMainWindow
{
    Q_OBJECT

public:
    // ReadOnly: views and reports only. No exchange engine, no timers, write commands
    // disabled, and nothing created or changed in the data root (not even the layout at close).
    enum class Access {
        ReadWrite,
        ReadOnly,
    };

    // timers: false leaves Timer1..3 stopped (widget tests drive the engine themselves).
    explicit TMainForm(const QString &dataRoot, bool timers = true, QWidget *parent = nullptr);
    TMainForm(const QString &dataRoot, Access access, bool timers = true, QWidget *parent = nullptr);
    ~TMainForm() override;

    // The show event's work, run once.
    void FormShow();
    void RebuildTree();
    void MainTreeClick();
    void RefreshActivePage();
    void SearchChanged();

    void NewGroupClick();
    void AddClick();
    void EditClick();
    void DeleteClick();
    void ClearArchiveClick();
    // "Считать архив из файла": the file dialog, the import, the tree rebuilt.
    void ReadArcClick();

    void CurrRefresh();
    void ArchiveRefresh(ArchivePage *page);
    void CurrReadClick();
    void ArchiveReadClick(ArchivePage *page);
    // Where a read of the page's period starts: the read-up-to mark when only missing records are wanted.
    QDateTime MissingFrom(ArchivePage *page, const QDateTime &from, const QDateTime &to);
    void StopClick();
    void Timer1Tick();
    // Pages of meters whose requests are all done read their files again; the summary after
    // any poll. Run after each supervision tick.
    void CheckPollsDone();
    // "Дочитать пропуски": the reads queued, a progress window that can stop them.
    void FillGapsClick();
    void StartReportClick();
    // Export of the page's records and of the report's rows; the archive check.
    void ArchiveExportClick(ArchivePage *page);
    void ReportExportClick();
    ReportOptions ReportPageOptions();
    void CheckArchiveClick();
    void ChartRefresh();
    void GroupReportsClick();
    // "База данных": the dialog; the database copy restarted when it changed the settings.
    void DatabaseClick();
    void SchedulesClick();

    // The selected node's index in the tree model; -1 when none.
    int SelectedNode() const;
    // The meter number of the selected node; 0 when no meter node is selected.
    int SelectedMeter() const;
    void SelectNode(int node);
    QTreeWidgetItem *ItemOf(int node) const { return node >= 0 && node < m_items.size() ? m_items[node] : nullptr; }

    Registry &registry() { return m_registry; }
    const TreeModel &treeModel() const { return m_model; }
    // Null in a read-only window.
    ExchangeEngine *engine() { return m_engine.get(); }
    // The database copy; null when off or in a read-only window.
    Replicator *replicator() { return m_replicator.get(); }
    MqttPublisher *publisher() { return m_mqtt.get(); }
    bool IsReadOnly() const { return m_access == Access::ReadOnly; }
    LogPane &log() { return *m_log; }
    const QImage &borderPicture() const { return m_border; }
    // How a finished report is shown; the desktop's default application unless set (tests).
    void SetDocumentOpener(std::function<bool(const QString &)> open) { m_openDocument = std::move(open); }
    // The file the last report was shown from; empty when none.
    QString LastReportFile() const { return m_lastReport; }
    QString VersionText() const;

    // Controls, named as the system names them.
    QAction *CloseTB;
    QAction *EditModemTB;
    QAction *StopTB;
    QAction *PortsTB;
    QAction *DatabaseTB;
    QAction *SchedulesTB;
    QSplitter *Splitter1;
    QSplitter *Splitter2;
    QTabWidget *TreePC;
    QToolButton *NewGroupTB;
    QToolButton *AddTB;
    QToolButton *RefreshTB;
    QToolButton *ReadArcTB;
    QToolButton *DeleteTB;
    QLineEdit *SearchEdit;
    QTreeWidget *MainTree;
    QMenu *PopupMenu;
    QAction *MenuItem1;
    QAction *MenuItem2;
    QAction *MenuItem3;
    QAction *MenuItem4;
    QAction *FillGapsItem;
    QWidget *MainPanel;
    QLabel *HeaderPanel;
    QTabWidget *MainPC;
    QToolButton *PagesTB; // every page in a menu, for windows too narrow for the tab bar
    CurrentValuesPage *CurrTS;
    ArchivePage *HourTS;
    ArchivePage *DayTS;
    ArchivePage *MonthTS;
    ArchivePage *JournalTS;
    ReportPage *ReportTS;
    ChartPage *ChartTS;
    QWidget *ChartTab; // the page's scroll area in MainPC
    TSummaryPage *SummaryTS;
    QPlainTextEdit *Memo1;
    QTabWidget *LogPC;
    QTimer *Timer1;
    QTimer *Timer2;
    QTimer *Timer3;

    TMsgForm *MsgForm;
    TNewFolderForm *NewFolderForm;
    TNewCounterForm *NewCounterForm;
    TPB *PB;
    TClearForm *ClearForm;
    TSetModemForm *SetModemForm;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void BuildWidgets();
    void DisableWriteCommands();
    void ShowPopup(const QPoint &pos);
    // The summary page's rows read again, and the tree's marks of meters that do not answer.
    void SummaryRefresh();
    void UpdateOverdueMarks();
    MeterHealth &Health();
    // The selected meter's Serial converted to an integer; false without one.
    bool SelectedSerial(int *serial);
    // The log pane follows the port of the meter a read command was given for.
    void FollowMeterPort(int serial);
    void ShowMeterPages(bool meter);
    // A line on the "Файлы" log page for every table or document written.
    void LogWrittenFile(const QString &path);
    // Starts the database copy when Tree.ini asks for one; drainMs bounds the old one's last sends.
    void RestartReplicator(int drainMs);
    void StartPublishing();

    QString m_dataRoot;
    Access m_access = Access::ReadWrite;
    Registry m_registry;
    TreeModel m_model;
    QList<QTreeWidgetItem *> m_items;
    std::unique_ptr<LogPane> m_log;
    std::unique_ptr<ExchangeEngine> m_engine;
    std::unique_ptr<Replicator> m_replicator;
    std::unique_ptr<MqttPublisher> m_mqtt; // records of the window's polls published as run does
    std::unique_ptr<NotifyService> m_notify; // scheduled documents and mail, on a thread of their own
    std::unique_ptr<MeterHealth> m_health; // without an engine (read-only window)
    QImage m_border;
    std::function<bool(const QString &)> m_openDocument;
    QString m_lastReport;
    int m_sp1 = 0;
    int m_sp2 = 0;
    bool m_shown = false;
    bool m_rebuilding = false;
    int m_selectedBeforePress = -1;
    QSet<int> m_polling; // serials with requests in the queue at the last look
    QPointer<QProgressDialog> m_gapProgress; // "Дочитать пропуски" under way
};

} // namespace qst
