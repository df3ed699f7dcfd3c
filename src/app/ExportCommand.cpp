#include "ExportCommand.h"

#include "AppTexts.h"
#include "Dialogs.h"

#include "reports/ArchiveCheck.h"
#include "reports/TableExport.h"

#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace qst {

QString WriteExportTable(QWidget *parent, TMsgForm *msg, const ExportTable &table, const QString &path,
                         const QString &filter)
{
    const bool csv = QFileInfo(path).suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0;
    QString error;
    bool written = false;
    if (csv) {
        CsvOptions options;
        if (filter == ui::kCsv1251Filter)
            options.encoding = CsvEncoding::Windows1251;
        written = WriteCsv(table, path, options, &error);
    } else {
        written = WriteXlsx(table, path, &error);
    }
    if (!written) {
        if (msg)
            msg->ShowMessage(ui::kExportFailed + u'\n' + QDir::toNativeSeparators(path) + u'\n' + error, 0);
        else
            QMessageBox::warning(parent, ui::kExportTitle, error);
        return {};
    }
    QString text = ui::kExportWritten;
    if (!SkippedNote(table).isEmpty())
        text = SkippedNote(table) + u'\n' + text;
    if (msg)
        msg->ShowDocument(text, path);
    else
        QMessageBox::information(parent, ui::kExportTitle, text + u'\n' + QDir::toNativeSeparators(path));
    return path;
}

QString SaveExportTable(QWidget *parent, TMsgForm *msg, const ExportTable &table, const QString &suggestedName)
{
    QFileDialog dialog(parent, ui::kExportTitle);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({ ui::kXlsxFilter, ui::kCsvFilter, ui::kCsv1251Filter });
    dialog.setDefaultSuffix(QStringLiteral("xlsx"));
    dialog.selectFile(suggestedName);
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
        dialog.setDefaultSuffix(filter == ui::kXlsxFilter ? QStringLiteral("xlsx") : QStringLiteral("csv"));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return WriteExportTable(parent, msg, table, dialog.selectedFiles().first(), dialog.selectedNameFilter());
}

void RunArchiveCheckCommand(
    QWidget *parent, const QString &dataRoot, const QString &serial, const QDate &from, const QDate &to)
{
    QDialog ask(parent);
    ask.setObjectName(QStringLiteral("CheckPeriodForm"));
    ask.setWindowTitle(ui::kCheckTitle);
    auto *form = new QFormLayout(&ask);
    auto *fromEdit = new QDateEdit(from);
    auto *toEdit = new QDateEdit(to);
    for (QDateEdit *e : { fromEdit, toEdit }) {
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    }
    form->addRow(ui::kFrom.trimmed(), fromEdit);
    form->addRow(ui::kTo.trimmed(), toEdit);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
    if (ask.exec() != QDialog::Accepted)
        return;

    const CheckResult result = CheckArchive(dataRoot, serial, fromEdit->date(), toEdit->date());
    const ExportTable table = CheckTable(result);
    QString text = table.header.join(u'\t') + u'\n';
    for (const QList<ExportCell> &row : table.rows) {
        QStringList cells;
        for (const ExportCell &cell : row)
            cells << CellText(cell, CsvDialect::Russian);
        text += cells.join(u'\t') + u'\n';
    }
    text += u'\n' + CheckSummary(result);
    if (!SkippedNote(table).isEmpty())
        text += u'\n' + SkippedNote(table);

    QDialog shown(parent);
    shown.setObjectName(QStringLiteral("CheckForm"));
    shown.setWindowTitle(ui::kCheckTitle + QStringLiteral(" ") + serial);
    auto *layout = new QVBoxLayout(&shown);
    layout->addWidget(new QLabel(result.differences.isEmpty() ? ui::kCheckClean : ui::kCheckDifferences));
    auto *memo = new QPlainTextEdit(text);
    memo->setObjectName(QStringLiteral("CheckMemo"));
    memo->setReadOnly(true);
    memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(memo);
    auto *close = new QDialogButtonBox(QDialogButtonBox::Close);
    QPushButton *exportButton = close->addButton(ui::kExport, QDialogButtonBox::ActionRole);
    layout->addWidget(close);
    QObject::connect(close, &QDialogButtonBox::rejected, &shown, &QDialog::reject);
    QObject::connect(exportButton, &QPushButton::clicked, &shown,
        [&] { SaveExportTable(&shown, nullptr, table, QStringLiteral("check %1").arg(serial)); });
    shown.resize(720, 420);
    shown.exec();
}

} // namespace qst
