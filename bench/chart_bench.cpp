// Drawing a year of hourly records on the chart page, against reading the same files alone.
// With a file name, also saves the page showing a week as a picture (the README's screenshot).
#include "BenchTiming.h"
#include "ReportYear.h"

#include "ChartPage.h"

#include "storage/ArchiveView.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QTemporaryDir>

using namespace qst;
using namespace qst::bench;

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir(root).mkdir(QStringLiteral("DATA"));
    WriteYear(root);
    const QString serial = QStringLiteral("100");
    const ArchivePeriod year = DailyPeriod(QDate(2010, 1, 1), QDate(2010, 12, 31));

    ChartPage page;
    page.resize(1200, 600);
    page.show();
    page.SeriesCB[kChartQ]->setChecked(true);
    page.SeriesCB[kChartM1]->setChecked(true);
    LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, year); // the files into the page cache
    const double read = MedianSeconds(5, [&] { LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, year); });
    const double draw = MedianSeconds(5, [&] {
        page.Show(LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, year));
        QApplication::processEvents(); // the chart lays itself out
        page.View->grab(); // the first paint of everything drawn
    });
    Report("chart: read, draw, paint", "a year of hours, 4 curves", draw, "reading the files", read);

    if (argc > 1) {
        page.FromDate->setDate(QDate(2010, 2, 1));
        page.ToDate->setDate(QDate(2010, 2, 7));
        page.SeriesCB[kChartM1]->setChecked(false);
        page.SeriesCB[kChartDT]->setChecked(true);
        QList<ArchiveRecord> week
            = LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, { page.From(), page.To() });
        // Two hours not read yet show as a break.
        week.remove(60, 2);
        page.Show(week);
        // Outside an event loop the chart's removed items wait for this.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
        page.grab().save(QString::fromLocal8Bit(argv[1]));
    }
    return 0;
}
