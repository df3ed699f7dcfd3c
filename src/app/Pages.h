#pragma once

#include "ArchiveTableModel.h"
#include "storage/ArchiveView.h"
#include "CurrentValuesData.h"
#include "exchange/LogSink.h"

#include <QHash>
#include <QWidget>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTableView;
class QTimeEdit;
class QToolButton;

namespace qst {

// "Текущие показания": read-only boxes named by their file keys.
class CurrentValuesPage : public QWidget
{
    Q_OBJECT

public:
    explicit CurrentValuesPage(QWidget *parent = nullptr);
    void Show(const CurrentValuesView &view);
    QLineEdit *Box(const QString &key) const { return m_boxes.value(key); }

    QToolButton *CurrRefreshTB;
    QToolButton *CurrReadTB;
    // Limits captions and the column titles that version 1 hides.
    QList<QWidget *> m_v2Only;
    QLabel *m_ts1Title;
    QLabel *m_ts2Title;

private:
    QLineEdit *AddBox(const QString &key);
    QHash<QString, QLineEdit *> m_boxes;
};

// One of "Часовой архив", "Суточный архив", "Месячный архив" and "Журнал".
class ArchivePage : public QWidget
{
    Q_OBJECT

public:
    enum Kind {
        Hourly,
        Daily,
        Monthly,
        Journal,
    };
    ArchivePage(Kind kind, QWidget *parent = nullptr);

    ArchivePeriod Period() const;
    void ShowRecords(const QList<ArchiveRecord> &records);
    void ShowJournal(const QList<JARecord> &records);

    Kind kind() const { return m_kind; }
    QToolButton *RefreshTB;
    QDateEdit *FromDate;
    QTimeEdit *FromTime = nullptr; // hourly and journal only
    QDateEdit *ToDate;
    QTimeEdit *ToTime = nullptr;
    QToolButton *ReadTB;
    QToolButton *ExportTB;
    QCheckBox *RereadCB = nullptr; // not on the journal page
    // Checked: a read starts at the read-up-to mark when the period reaches past it, instead of
    // asking the calculator again for what is stored. Not on the journal page.
    QCheckBox *MissingCB = nullptr;
    QSpinBox *JRecSE = nullptr;    // journal page only
    QTabWidget *Tables = nullptr;  // archive pages: three tables
    QTableView *Views[3] = {};
    ArchiveTableModel *Models[3] = {};
    QTableView *JournalView = nullptr;
    JournalTableModel *JournalModel = nullptr;

private:
    Kind m_kind;
};

// "Отчётность": the report's choices and their visibility rules.
class ReportPage : public QWidget
{
    Q_OBJECT

public:
    explicit ReportPage(QWidget *parent = nullptr);

    void TypeRGClick();
    void MOEKCBClick();
    int TypeIndex() const;
    void SetTypeIndex(int index);

    QComboBox *TSCB;
    QGroupBox *TypeRG;
    QButtonGroup *TypeButtons;
    QDateTimeEdit *FromCB;
    QDateTimeEdit *ToCB;
    QGroupBox *TS2Box;
    QListWidget *TS2CBG;
    QGroupBox *TS3Box;
    QListWidget *TS3CBG;
    QGroupBox *OrientRG;
    QButtonGroup *OrientButtons;
    QCheckBox *ShowIntCB;
    QCheckBox *DetailCB;
    QCheckBox *BreakCB;
    QLineEdit *SaveEdit;
    QPushButton *SaveEditBtn;
    QCheckBox *MOEKCB;
    QPushButton *StartRepBtn;
    QPushButton *ExportBtn;
    QLabel *Image1;

signals:
    void StartRequested();
    void ExportRequested();
};

// The log pane: one page "Порт: N" per serial port, at most 201 lines each.
class LogPane : public LogSink
{
public:
    explicit LogPane(QTabWidget *pages) : m_pages(pages) {}
    // A line already stamped "[date time] text".
    void WriteLogLine(int port, const QString &line) override;
    // Stamps the text with the current date and time first.
    void WriteLog(int port, const QString &text);
    QPlainTextEdit *Page(int port) const;
    // Lines that belong to no port (the database copy) on a page of their own.
    void WritePageLine(const QString &caption, const QString &line);
    QPlainTextEdit *Page(const QString &caption) const;
    // A read command started: the port's page comes forward, now or when its first line
    // arrives, until the operator picks a page himself.
    void Follow(int port);
    void StopFollowing() { m_follow.clear(); }

private:
    QTabWidget *m_pages;
    QString m_follow;
};

} // namespace qst
