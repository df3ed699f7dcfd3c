// A district on one machine: 1,000 meters in 50 groups, each with a few days of archives.
// Times what an operator waits for (the window, the summary, status) and what the service
// does every 5 s (the schedule tick), each against a goal and a baseline of the same run.
//
//   scale_bench              the whole run
//   scale_bench --window DIR (internal) starts the desktop window on DIR, prints the moment
//                            it is usable on the monotonic clock and exits
//   scale_bench --bare       (internal) the same for an empty window: the start-up floor
#include "BenchTiming.h"

#include "Application.h"
#include "MainForm.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/TextFile.h"
#include "exchange/ExchangeClock.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QCoreApplication>
#include <QDir>
#include <QMainWindow>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

using namespace qst;
using qst::bench::MedianSeconds;

namespace {

constexpr int kMeters = 1000;
constexpr int kGroups = 50;

qint64 MonotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The median of values each run reports itself (a child's own moment, not the wait for its exit).
double MedianOf(int runs, const std::function<double()> &job)
{
    std::vector<double> values;
    for (int i = 0; i < runs; ++i)
        values.push_back(job());
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Line(const char *job, double seconds, const char *baseline, double baselineSeconds, const char *goal)
{
    std::printf("%-44s %9.1f ms   %-34s %9.1f ms   %6.1fx   goal %s\n", job, seconds * 1e3, baseline,
                baselineSeconds * 1e3, seconds / baselineSeconds, goal);
    std::fflush(stdout);
}

// Every meter polled hourly at its own minute, so that a minute's meters (about 17) fall
// due together, as an operator spreads them over the hour.
QStringList HourlyAt(int minute)
{
    QStringList items;
    for (int h = 0; h < 24; ++h)
        items << QStringLiteral("%1:%2").arg(h, 2, 10, QChar(u'0')).arg(minute, 2, 10, QChar(u'0'));
    return items;
}

ArchiveValues Values(const QDateTime &t, int k)
{
    ArchiveValues a;
    a.time = DayCountFromDateTime(t);
    for (int i = 0; i < kFCount; ++i)
        a.F[i] = 0.37f * float(i + 1) + 0.001f * float(k % 97);
    return a;
}

// Three days of hours (one missing), a month of days, a year of months before `now`.
void WriteArchives(const QString &root, quint16 serial, const QDateTime &now)
{
    const QDateTime hour(now.date(), QTime(now.time().hour(), 0));
    std::map<std::pair<int, int>, QList<TimedLine>> months;
    for (int h = 72; h >= 1; --h) {
        if (h == 30)
            continue;
        const QDateTime t = hour.addSecs(-3600LL * h);
        const ArchiveValues a = Values(t, h);
        months[{t.date().year(), t.date().month()}].append({BuildArchiveLine(2, a), a.time});
    }
    for (const auto &[month, lines] : months)
        InsertArchiveLines(DataFilePath(root, DataKind::Hourly, serial, month.first, month.second), lines, true);
    std::map<int, QList<TimedLine>> years;
    for (int d = 31; d >= 1; --d) {
        const QDateTime t(now.date().addDays(-d), QTime(0, 0));
        const ArchiveValues a = Values(t, d);
        years[t.date().year()].append({BuildArchiveLine(2, a), a.time});
    }
    for (const auto &[year, lines] : years)
        InsertArchiveLines(DataFilePath(root, DataKind::Daily, serial, year), lines, true);
    QList<TimedLine> monthly;
    const QDate first(now.date().year(), now.date().month(), 1);
    for (int m = 12; m >= 1; --m) {
        const ArchiveValues a = Values(QDateTime(first.addMonths(-m), QTime(0, 0)), m);
        monthly.append({BuildArchiveLine(2, a), a.time});
    }
    InsertArchiveLines(DataFilePath(root, DataKind::Monthly, serial), monthly, true);
}

void MakeDistrict(const QString &root, const QDateTime &now)
{
    QDir(root).mkpath(QStringLiteral("DATA"));
    Registry registry(TreeIniPath(root));
    QList<int> groups;
    for (int g = 0; g < kGroups; ++g)
        groups.append(CreateGroup(registry, 0, QStringLiteral("Квартал %1").arg(g + 1)));
    for (int m = 0; m < kMeters; ++m) {
        MeterRecord r;
        r.name = QStringLiteral("Потребитель %1").arg(m);
        r.serial = QString::number(20000 + m);
        r.address = QString::number(m % 32 + 1);
        r.physAddress = QStringLiteral("ул. Ленина, д. %1").arg(m);
        r.port = m / 32 % 32 + 1;
        r.devType = 2;
        r.schedule = HourlyAt(m % 60);
        AddMeter(registry, groups[m % kGroups], r);
        WriteArchives(root, quint16(20000 + m), now);
    }
}

class SetClock final : public ExchangeClock
{
public:
    QDateTime Now() override { return now; }
    quint32 Tick() override { return SystemLinkClock().Tick(); }
    void Sleep(int ms) override { SystemLinkClock().Sleep(ms); }
    QDateTime now;
};

class QuietLog final : public LogSink
{
public:
    void WriteLogLine(int, const QString &) override {}
};

// The tick from `from` to `to` on a fresh engine (the first tick only notes the time) with
// Tree.ini parsed, and how many meters it queued.
double TimedTick(const QString &root, const QDateTime &from, const QDateTime &to, int *queued)
{
    Registry registry(TreeIniPath(root));
    QuietLog log;
    SetClock clock;
    clock.now = from;
    ExchangeEngine engine({root, &registry, &log, &clock, {}});
    engine.ScheduleTick();
    // Parsed beforehand: the parse is the baseline, timed on its own.
    registry.MeterNumbers();
    clock.now = to;
    const qint64 start = MonotonicNs();
    engine.ScheduleTick();
    const double seconds = double(MonotonicNs() - start) / 1e9;
    QSet<int> serials;
    for (const TQueueItem &q : engine.queue().Items())
        serials.insert(q.serial);
    *queued = int(serials.size());
    // Leaves the health files as they were for the next run.
    for (int s : serials)
        engine.StopMeter(s);
    return seconds;
}

// A child process started at `start` prints when it is usable; returns the seconds between.
double ChildStartup(const QStringList &args, qint64 start)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), args);
    if (!child.waitForFinished(60000) || child.exitCode() != 0) {
        std::fprintf(stderr, "scale_bench: the child %s failed: %s\n", qPrintable(args.join(u' ')),
                     child.readAllStandardError().constData());
        std::exit(1);
    }
    return double(child.readAllStandardOutput().trimmed().toLongLong() - start) / 1e9;
}

double ProcessSeconds(const QStringList &args, int *exitCode = nullptr)
{
    QProcess p;
    const qint64 start = MonotonicNs();
    p.start(QStringLiteral(QST_CLI_PATH), args);
    p.waitForFinished(120000);
    if (exitCode)
        *exitCode = p.exitCode();
    return double(MonotonicNs() - start) / 1e9;
}

// qst-cli run until its banner, printed just before its first schedule tick; then SIGTERM.
double RunStartup(const QString &root)
{
    QProcess p;
    const qint64 start = MonotonicNs();
    p.start(QStringLiteral(QST_CLI_PATH), {QStringLiteral("--data-dir"), root, QStringLiteral("run")});
    QByteArray out;
    while (!out.contains("qst-cli run:") && p.waitForReadyRead(30000))
        out += p.readAllStandardOutput();
    const double seconds = double(MonotonicNs() - start) / 1e9;
    p.terminate();
    p.waitForFinished(30000);
    if (!out.contains("qst-cli run:")) {
        std::fprintf(stderr, "scale_bench: qst-cli run did not start: %s\n", p.readAllStandardError().constData());
        std::exit(1);
    }
    return seconds;
}

int WindowChild(int argc, char **argv, const QString &root)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // As qst-archiver's main does, up to its event loop.
    TApplication app(argc, argv);
    [[maybe_unused]] const bool translated = InstallQtRussianTranslation(app);
    std::unique_ptr<QMainWindow> window;
    if (root.isEmpty())
        window = std::make_unique<QMainWindow>();
    else
        window = std::make_unique<TMainForm>(root, TMainForm::Access::ReadWrite);
    window->show();
    QCoreApplication::processEvents();
    if (!root.isEmpty()) {
        int nodes = 0;
        for (QTreeWidget *tree : window->findChildren<QTreeWidget *>())
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
                ++nodes;
        if (nodes < kMeters + 1)
            return 1;
    }
    std::printf("%lld\n", static_cast<long long>(MonotonicNs()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && QByteArray(argv[1]) == "--window")
        return WindowChild(argc, argv, QString::fromLocal8Bit(argv[2]));
    if (argc >= 2 && QByteArray(argv[1]) == "--bare")
        return WindowChild(argc, argv, QString());

    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString root = dir.path();
    const QDateTime now = QDateTime::currentDateTime();
    {
        const qint64 start = MonotonicNs();
        MakeDistrict(root, now);
        std::printf("data root: %d meters in %d groups, 3 days of hours, a month of days, a year of months each "
                    "(made in %.1f s)\n\n",
                    kMeters, kGroups, double(MonotonicNs() - start) / 1e9);
    }
    const QString treeIni = TreeIniPath(root);
    const double readIni = MedianSeconds(5, [&] {
        ProfileFile ini(treeIni);
        if (ini.ReadSectionNames().size() < kMeters)
            std::exit(1);
    });

    // The window: a process started until its tree is built and shown.
    const double bare = MedianOf(3, [] { return ChildStartup({QStringLiteral("--bare")}, MonotonicNs()); });
    const double window = MedianOf(3, [&] { return ChildStartup({QStringLiteral("--window"), root}, MonotonicNs()); });
    Line("qst-archiver start-up, tree shown", window, "an empty window's start-up", bare, "< 2 s");

    // The tree alone, and a search that finds the last meter.
    Registry registry(treeIni);
    TreeModel model;
    const double tree = MedianSeconds(5, [&] { model = BuildTreeModel(registry, false); });
    Line("tree model of 1,000 meters", tree, "parsing Tree.ini alone", readIni, "< 200 ms");
    int found = -1;
    const double search = MedianSeconds(5, [&] { found = SearchTree(model, QStringLiteral("Потребитель 999")); });
    if (found < 0)
        return 1;
    Line("search (last meter)", search, "parsing Tree.ini alone", readIni, "< 50 ms (per key)");

    // The schedule tick: a plain 5 s step, a step across one minute, an hour's jump.
    const QDateTime t0(now.date(), QTime(10, 0, 30));
    int queued = 0;
    const double idleTick = MedianOf(5, [&] { return TimedTick(root, t0, t0.addSecs(5), &queued); });
    std::printf("%-44s (%d meters due)\n", "", queued);
    Line("schedule tick, nothing due", idleTick, "parsing Tree.ini alone", readIni, "< 10 ms");
    const double minuteTick =
        MedianOf(5, [&] {
        return TimedTick(root, QDateTime(now.date(), QTime(10, 6, 58)), QDateTime(now.date(), QTime(10, 7, 3)), &queued);
    });
    std::printf("%-44s (%d meters due)\n", "", queued);
    Line("schedule tick, one minute's meters due", minuteTick, "parsing Tree.ini alone", readIni, "< 10 ms");
    const double hourTick = MedianOf(3, [&] { return TimedTick(root, t0, t0.addSecs(3599), &queued); });
    std::printf("%-44s (%d meters due)\n", "", queued);
    Line("schedule tick, an hour's meters due", hourTick, "parsing Tree.ini alone", readIni, "< 500 ms");

    // The summary page's rows, against reading the files it looks at.
    MeterHealth health(root);
    const double nowDays = DayCountFromDateTime(now);
    qsizetype rows = 0;
    const double summary = MedianSeconds(3, [&] { rows = BuildMeterSummary(root, registry, health, nowDays).size(); });
    if (rows != kMeters)
        return 1;
    qsizetype bytes = 0;
    const double readFiles = MedianSeconds(3, [&] {
        for (int m = 0; m < kMeters; ++m) {
            const quint16 serial = quint16(20000 + m);
            for (DataKind kind : {DataKind::Hourly, DataKind::Daily}) {
                const QDir folder(MeterFolderPath(root, kind, serial));
                for (const QString &name : folder.entryList({QStringLiteral("*.dat")}, QDir::Files))
                    bytes += ReadFileBytes(folder.filePath(name)).size();
            }
            bytes += ReadFileBytes(DataFilePath(root, DataKind::Monthly, serial)).size();
        }
    });
    Line("summary rows (BuildMeterSummary)", summary, "reading every meter's files once", readFiles, "< 1 s");

    // The command line.
    const double version = MedianSeconds(3, [] { ProcessSeconds({QStringLiteral("--version")}); });
    int code = -1;
    const double status =
        MedianSeconds(3, [&] { ProcessSeconds({QStringLiteral("--data-dir"), root, QStringLiteral("status")}, &code); });
    std::printf("%-44s (exit %d)\n", "", code);
    Line("qst-cli status", status, "qst-cli --version", version, "< 2 s");
    const double run = MedianOf(3, [&] { return RunStartup(root); });
    Line("qst-cli run until its first tick", run, "qst-cli --version", version, "< 2 s");
    return 0;
}
