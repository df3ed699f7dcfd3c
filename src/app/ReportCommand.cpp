#include "ReportCommand.h"

#include "AppTexts.h"
#include "Dialogs.h"

#include "reports/ReportBatch.h"
#include "reports/ReportTexts.h"
#include "reports/WordDocument.h"

#include <QApplication>
#include <QDialog>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

namespace qst {

namespace {

// A name fit for any file system: no separators, no characters a desktop refuses.
QString SafeFileName(QString name)
{
    static const QString forbidden = QStringLiteral("/\\:*?\"<>|");
    for (QChar &c : name) {
        if (forbidden.contains(c) || c.unicode() < 0x20)
            c = u'_';
    }
    return name;
}

} // namespace

QString ReportTargetFile(const QString &saveText)
{
    if (saveText.trimmed().isEmpty())
        return {};
    return DocxFileName(saveText);
}

QString RunReportCommand(const ReportRun &run, TMsgForm &msg, TPB &progress)
{
    progress.PB1->setValue(0);
    progress.PB2->hide();
    bool shown = false;
    const ReportProgress onProgress = [&](int percent) {
        if (!shown && percent > 0) {
            progress.show();
            shown = true;
        }
        progress.PB1->setValue(percent);
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    TWordDocument document;
    const QString refusal = run.statement ? BuildHeatStatement(run.options, document, onProgress)
                                          : BuildProtocolReport(run.options, document, onProgress);
    progress.hide();
    progress.PB2->show();
    if (!refusal.isEmpty()) {
        msg.ShowMessage(refusal, 0);
        return {};
    }

    QString target = ReportTargetFile(run.saveText);
    QString error;
    if (!target.isEmpty()) {
        bool save = true;
        if (QFileInfo::exists(target))
            save = msg.ShowMessage(texts::kOverwriteQuestion, 1) == 1;
        if (save && !document.SaveAs(target, &error)) {
            msg.ShowMessage(target + u'\n' + error, 0);
            return {};
        }
        if (!save) {
            // "Нет": nothing is saved, but the document is still shown from a file of its own.
            target.clear();
        }
    }
    if (target.isEmpty()) {
        QDir().mkpath(run.tempFolder);
        target = QDir(run.tempFolder).filePath(SafeFileName(ReportFileBaseName(run.options, run.statement))
                                               + QStringLiteral(".docx"));
        if (!document.SaveAs(target, &error)) {
            msg.ShowMessage(target + u'\n' + error, 0);
            return {};
        }
    }
    if (!document.Notes().isEmpty())
        msg.ShowMessage(document.Notes().join(u'\n'), 0);
    if (!run.open || !run.open(target))
        msg.ShowDocument(ui::kNoViewer.trimmed(), target);
    return target;
}

QStringList RunGroupReportsCommand(QWidget *parent, Registry &registry, int group, const ReportOptions &pageOptions,
                                   bool statement, const QStringList &columns)
{
    ReportOptions options = pageOptions;
    QDialog ask(parent);
    ask.setObjectName(QStringLiteral("GroupReportsForm"));
    ask.setWindowTitle(ui::kGroupReports);
    auto *form = new QFormLayout(&ask);
    // The report page is hidden while a group is selected: what it would take is shown here.
    auto *kind = new QComboBox;
    kind->setObjectName(QStringLiteral("GroupKindCB"));
    kind->addItems({ui::kHourly, ui::kDaily, ui::kMonthly, ui::kJournal});
    kind->setCurrentIndex(options.selection.kind);
    form->addRow(ui::kReportKind, kind);
    auto *from = new QDateTimeEdit(options.selection.from);
    from->setObjectName(QStringLiteral("GroupFromEdit"));
    auto *to = new QDateTimeEdit(options.selection.to);
    to->setObjectName(QStringLiteral("GroupToEdit"));
    for (QDateTimeEdit *e : {from, to}) {
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("dd.MM.yyyy H:mm"));
    }
    form->addRow(ui::kPeriodFrom, from);
    form->addRow(ui::kPeriodTo, to);
    auto *orientation = new QComboBox;
    orientation->setObjectName(QStringLiteral("GroupOrientationCB"));
    orientation->addItems({ui::kPortrait, ui::kLandscape});
    orientation->setCurrentIndex(options.orientation == 1 ? 1 : 0);
    form->addRow(ui::kOrientation, orientation);
    auto *columnList = new QListWidget;
    columnList->setObjectName(QStringLiteral("GroupColumnsLV"));
    const int itemCount = std::min(int(columns.size()), options.selection.ItemCount());
    for (int i = 0; i < itemCount; ++i) {
        auto *item = new QListWidgetItem(columns[i], columnList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(options.selection.Checked(i) ? Qt::Checked : Qt::Unchecked);
    }
    columnList->setVisible(itemCount > 0);
    columnList->setMaximumHeight(140);
    if (itemCount > 0)
        form->addRow(ui::kGroupColumns, columnList);
    auto *folder = new QLineEdit;
    folder->setObjectName(QStringLiteral("GroupFolderEdit"));
    auto *browse = new QPushButton(QStringLiteral("..."));
    auto *row = new QHBoxLayout;
    row->addWidget(folder);
    row->addWidget(browse);
    form->addRow(ui::kGroupFolder, row);
    auto *pattern = new QLineEdit(kDefaultBatchPattern);
    pattern->setObjectName(QStringLiteral("GroupPatternEdit"));
    form->addRow(ui::kGroupPattern, pattern);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
    QObject::connect(browse, &QPushButton::clicked, &ask, [&] {
        const QString dir = QFileDialog::getExistingDirectory(&ask, ui::kGroupFolder, folder->text());
        if (!dir.isEmpty())
            folder->setText(dir);
    });
    if (ask.exec() != QDialog::Accepted || folder->text().trimmed().isEmpty())
        return {};
    options.selection.kind = kind->currentIndex();
    options.selection.from = from->dateTime();
    options.selection.to = to->dateTime();
    options.orientation = orientation->currentIndex();
    bool *checked = options.selection.heatSystem == kColdWater ? options.selection.ts3 : options.selection.ts2;
    for (int i = 0; i < itemCount; ++i)
        checked[i] = columnList->item(i)->checkState() == Qt::Checked;

    QProgressDialog progress(ui::kGroupReports, ui::kCancel, 0, 1, parent);
    progress.setObjectName(QStringLiteral("GroupProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    const BatchResult result = BuildGroupReports(
        registry, group, options, statement, folder->text().trimmed(), pattern->text(), false,
        [&progress](int done, int total, const QString &serial) {
            progress.setMaximum(std::max(total, 1));
            progress.setValue(done);
            progress.setLabelText(ui::kGroupReports + QStringLiteral(": ") + serial);
            QApplication::processEvents();
            return !progress.wasCanceled();
        });
    progress.close();
    const QStringList summary = BatchSummary(result);
    QMessageBox box(QMessageBox::Information, ui::kGroupReports, summary.last(), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("GroupSummary"));
    box.setDetailedText(summary.join(u'\n'));
    box.exec();
    return summary;
}

} // namespace qst
