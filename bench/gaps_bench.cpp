// Gap scans of many meters' hourly files against reading the same files line by line with
// the archive reader, and the summary of every meter. Prints times and ratios.
#include "BenchTiming.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/TextFile.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/GapScan.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdlib>

using namespace qst;

namespace {

// A version-2 line as the writers make it, with values that vary.
QString SampleLine(double time, QRandomGenerator &rng)
{
    LineBuilder b;
    b.Time(time);
    for (int i = 0; i < 21; ++i)
        b.Real(float(rng.bounded(1000.0)));
    b.Int(0);
    for (int i = 0; i < 5; ++i)
        b.Int(0);
    for (int i = 0; i < 18; ++i)
        b.Real(float(rng.bounded(60.0)));
    return b.line();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int meters = argc > 1 ? std::atoi(argv[1]) : 1000;
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir(root).mkdir(QStringLiteral("DATA"));
    // One year of hourly files per meter with a few hours missing; the files are the same
    // bytes for every meter (written once, copied), so building the set stays quick.
    QRandomGenerator rng(13);
    const QDate first(2025, 1, 1);
    QList<QPair<QString, QByteArray>> year;
    for (int m = 1; m <= 12; ++m) {
        QStringList lines;
        const QDate month(2025, m, 1);
        for (QDate d = month; d.month() == m; d = d.addDays(1)) {
            for (int h = 0; h < 24; ++h) {
                if (rng.bounded(500) == 0)
                    continue;
                lines << SampleLine(DayCountFromParts(d, QTime(h, 0)), rng);
            }
        }
        QByteArray bytes;
        for (const QString &l : lines)
            bytes += EncodeCp1251(l) + "\r\n";
        year.append({MonthFileName(2025, m), bytes});
    }
    Registry registry(TreeIniPath(root));
    for (int s = 1; s <= meters; ++s) {
        const QString folder = MeterFolderPath(root, DataKind::Hourly, quint16(s));
        QDir().mkpath(folder);
        for (const auto &f : year) {
            QFile out(folder + u'/' + f.first);
            if (!out.open(QIODevice::WriteOnly))
                return 1;
            out.write(f.second);
        }
        MeterRecord r;
        r.name = QStringLiteral("Meter %1").arg(s);
        r.serial = QString::number(s);
        r.address = QStringLiteral("1");
        r.port = 1;
        r.schedule = {QStringLiteral("08:00")};
        AddMeter(registry, 0, r);
    }
    const double from = DayCountFromDate(first);
    const double to = DayCountFromParts(QDate(2025, 12, 31), QTime(23, 0));

    qint64 missing = 0;
    const double scan = bench::MedianSeconds(3, [&] {
        missing = 0;
        for (int s = 1; s <= meters; ++s)
            missing += MissingCount(FindGaps(root, quint16(s), GapKind::Hourly, from, to));
    });
    qint64 parsed = 0;
    const double readAll = bench::MedianSeconds(3, [&] {
        parsed = 0;
        for (int s = 1; s <= meters; ++s) {
            for (int m = 1; m <= 12; ++m) {
                for (const QString &line : LoadLines(DataFilePath(root, DataKind::Hourly, quint16(s), 2025, m))) {
                    ArchiveRecord r;
                    parsed += TryParseArchiveLine(line, &r) ? 1 : 0;
                }
            }
        }
    });
    std::printf("%d meters x 12 hourly files: %lld missing hours found, %lld lines parsed by the reader\n", meters,
                static_cast<long long>(missing), static_cast<long long>(parsed));
    bench::Report("gaps, a year of hourly files", (std::to_string(meters) + " meters").c_str(), scan,
                  "reader line by line", readAll);
    const double one = bench::MedianSeconds(9, [&] { FindGaps(root, 1, GapKind::Hourly, from, to); });
    bench::Report("gaps, one meter's year", "1 meter", one, "reader, per meter", readAll / meters);

    MeterHealth health(root);
    int rows = 0;
    const double summary = bench::MedianSeconds(3, [&] {
        rows = int(BuildMeterSummary(root, registry, health, DayCountFromDateTime(QDateTime(QDate(2026, 1, 1), QTime(10, 0))))
                       .size());
    });
    std::printf("summary rows: %d\n", rows);
    bench::Report("summary of every meter", (std::to_string(meters) + " meters").c_str(), summary,
                  "reader line by line", readAll);
    return 0;
}
