// The read commands: what the operator asks of a meter now, and how the window follows it
// (the port's log page, the pages read again when the requests are done, the gap progress).
#include "MainForm.h"

#include "AppTexts.h"
#include "ChartPage.h"
#include "Dialogs.h"
#include "SummaryPage.h"

#include "exchange/ExchangeEngine.h"
#include "exchange/PollQueue.h"
#include "registry/MeterRecord.h"

#include <QAction>
#include <QCheckBox>
#include <QDateEdit>
#include <QProgressDialog>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimeEdit>
#include <QToolButton>

#include <algorithm>

namespace qst {

bool TMainForm::SelectedSerial(int *serial)
{
    const int meter = SelectedMeter();
    if (meter == 0)
        return false;
    bool ok = false;
    *serial = m_registry.file().ReadString(MeterSection(meter), reg::kSerial).trimmed().toInt(&ok);
    return ok;
}

void TMainForm::CurrReadClick()
{
    if (IsReadOnly())
        return;
    int serial = 0;
    if (!SelectedSerial(&serial))
        return;
    CurrTS->CurrReadTB->setEnabled(false);
    m_engine->ReadCurrentValues(serial);
    CurrTS->CurrReadTB->setEnabled(true);
    FollowMeterPort(serial);
}

void TMainForm::ArchiveReadClick(ArchivePage *page)
{
    if (IsReadOnly())
        return;
    int serial = 0;
    if (!SelectedSerial(&serial))
        return;
    QString message;
    const bool reread = page->RereadCB && page->RereadCB->isChecked();
    switch (page->kind()) {
    case ArchivePage::Hourly: {
        const QDateTime to(page->ToDate->date(), page->ToTime->time());
        const QDateTime from = MissingFrom(page, QDateTime(page->FromDate->date(), page->FromTime->time()), to);
        message = m_engine->ReadHourly(serial, from, to, reread);
        break;
    }
    case ArchivePage::Daily: {
        const QDate to = page->ToDate->date();
        const QDate from = MissingFrom(page, page->FromDate->date().startOfDay(), to.startOfDay()).date();
        message = m_engine->ReadDaily(serial, from, to, reread);
        break;
    }
    case ArchivePage::Monthly: {
        const QDate to = page->ToDate->date();
        const QDate from = MissingFrom(page, page->FromDate->date().startOfDay(), to.startOfDay()).date();
        message = m_engine->ReadMonthly(serial, from, to, reread);
        break;
    }
    case ArchivePage::Journal:
        m_engine->ReadJournal(serial, page->JRecSE->value());
        break;
    }
    if (!message.isEmpty())
        MsgForm->ShowMessage(message, 0);
    else
        FollowMeterPort(serial);
}

QDateTime TMainForm::MissingFrom(ArchivePage *page, const QDateTime &from, const QDateTime &to)
{
    // What is stored up to the read-up-to mark is not asked for again, unless the operator
    // wants it rewritten or unticks "only missing"; a period that ends before the mark, or a
    // mark that is not a date, leaves the period as chosen.
    if (!page->MissingCB || !page->MissingCB->isChecked() || (page->RereadCB && page->RereadCB->isChecked()))
        return from;
    const QString key = page->kind() == ArchivePage::Hourly ? reg::kLastH
                        : page->kind() == ArchivePage::Daily ? reg::kLastD
                                                             : reg::kLastM;
    const QDateTime mark = m_registry.file().ReadDateTime(MeterSection(SelectedMeter()), key, QDateTime());
    if (!mark.isValid() || mark <= from || mark > to)
        return from;
    return mark;
}

void TMainForm::StopClick()
{
    if (IsReadOnly())
        return;
    int serial = 0;
    if (SelectedSerial(&serial))
        m_engine->StopMeter(serial);
}

void TMainForm::FillGapsClick()
{
    int serial = 0;
    if (IsReadOnly() || !m_engine || !SelectedSerial(&serial))
        return;
    m_engine->FillGaps(serial, 0);
    FollowMeterPort(serial);
    // The reads run in the port's thread; this only shows how many are left and can stop them.
    int total = 0;
    for (const TQueueItem &q : m_engine->queue().Items())
        total += q.serial == serial ? 1 : 0;
    delete m_gapProgress;
    m_gapProgress = new QProgressDialog(
        ui::kMenuFillGaps + QStringLiteral(": ") + QString::number(serial), ui::kCancel, 0, std::max(total, 1), this);
    m_gapProgress->setObjectName(QStringLiteral("FillGapsProgress"));
    m_gapProgress->setWindowModality(Qt::NonModal);
    m_gapProgress->setMinimumDuration(0);
    m_gapProgress->setAutoClose(false);
    m_gapProgress->setAutoReset(false);
    m_gapProgress->setProperty("serial", serial);
    connect(m_gapProgress, &QProgressDialog::canceled, this, [this, serial] {
        if (m_engine)
            m_engine->StopMeter(serial);
        if (m_gapProgress)
            m_gapProgress->deleteLater();
    });
    m_gapProgress->setValue(0);
    m_gapProgress->show();
}

void TMainForm::CheckPollsDone()
{
    if (!m_engine)
        return;
    QSet<int> polling;
    for (const TQueueItem &q : m_engine->queue().Items())
        polling.insert(q.serial);
    const QSet<int> done = m_polling - polling;
    m_polling = polling;
    if (m_gapProgress) {
        const int serial = m_gapProgress->property("serial").toInt();
        int left = 0;
        for (const TQueueItem &q : m_engine->queue().Items())
            left += q.serial == serial ? 1 : 0;
        m_gapProgress->setValue(std::max(0, m_gapProgress->maximum() - left));
        if (left == 0)
            m_gapProgress->deleteLater();
    }
    if (done.isEmpty() || MainPanel->isHidden())
        return;
    int serial = 0;
    if (MainPC->currentWidget() == SummaryTS || (SelectedSerial(&serial) && done.contains(serial)))
        RefreshActivePage();
}

void TMainForm::FollowMeterPort(int serial)
{
    const int meter = m_registry.FindMeterBySerialInt(serial);
    if (meter > 0)
        m_log->Follow(static_cast<int>(m_registry.file().ReadInteger(MeterSection(meter), reg::kCom, 0)));
    m_polling.insert(serial);
}

} // namespace qst
