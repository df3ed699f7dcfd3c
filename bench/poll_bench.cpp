// Polling speed against the simulator on pseudo-terminals at 19200 baud with 20 ms of device
// latency, each figure against the protocol's own minimum measured from its frame sizes:
//  1. the readers as the exchange thread calls them (parameters + record, 50 ms pause);
//  2. the whole exchange thread on one port;
//  3. sixteen ports at once: the engine's processor time per record and per busy port.
// Usage: poll_bench [records] [seconds for the 16-port run]
#include "BenchTiming.h"
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "link/DeviceReaders.h"
#include "link/QtSerialPortLink.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QEventLoop>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>

using namespace qst;
using qst::test::SimProcess;

namespace {

constexpr double kBitsPerByte = 10;
constexpr double kBaud = 19200;
constexpr double kLatency = 0.020;
constexpr double kSilence = 0.100;
constexpr double kPause = 0.050;
// Parameters: 8-byte request, 3 + 24 + 2 answer. Version-2 hourly record: 9-byte request,
// 7 + 108 + 2 answer.
constexpr int kParamBytes = 8 + 29;
constexpr int kRecordBytes = 9 + 117;

double ProtocolMinimumPerRecord()
{
    return (kParamBytes + kRecordBytes) * kBitsPerByte / kBaud + 2 * (kLatency + kSilence) + kPause;
}

double CpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QStringList SimArgs(int serial)
{
    return {QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
            QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"), QStringLiteral("20")};
}

class CountingLog final : public LogSink
{
public:
    void WriteLogLine(int, const QString &line) override
    {
        if (line.contains(QStringLiteral("считана успешно")))
            ++records;
        else if (line.contains(QStringLiteral("Не удалось")))
            ++failures;
    }
    std::atomic<int> records{0};
    std::atomic<int> failures{0};
};

void Readers(int records)
{
    SimProcess sim(SimArgs(7001));
    QTemporaryDir root;
    ProfileFile(TreeIniPath(root.path())).WriteString(QStringLiteral("PORTS"), QStringLiteral("1"), sim.path());
    QtSerialPortLink port(1, root.path());
    if (!sim.started() || port.OpenPort() < 0) {
        std::printf("readers: cannot open the simulator's line\n");
        return;
    }
    port.SetLineParams(13, 3);
    int ok = 0;
    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int back = 0; back < records; ++back) {
        qint16 P[kArchiveParamCount] = {};
        if (ReadArchiveParams(1, port, 2000, 0, P) != kLinkOk)
            continue;
        ArchiveValues v;
        TotalsSnapshot s;
        if (ReadArchiveRecordV2(1, kArchiveHourly, ArchiveRecordIndex(P[2], P[1], P[0], back), port, 2000, 0, &v,
                                &s) == kLinkOk)
            ++ok;
        QThread::msleep(50);
    }
    const double perRecord = wall.elapsed() / 1000.0 / records;
    const double cpu = (CpuSeconds() - cpu0) / records;
    port.ClosePort();
    std::printf("%-34s %-26s %10.1f ms/record   protocol minimum %6.1f ms   ratio %.3fx (goal <= 1.15)\n",
                "readers: hourly records, 19200", "params + record + pause", perRecord * 1e3,
                ProtocolMinimumPerRecord() * 1e3, perRecord / ProtocolMinimumPerRecord());
    std::printf("%-34s %d of %d records read; CPU %.3f ms per record (goal < 2 ms)\n", "", ok, records, cpu * 1e3);
}

struct Fleet
{
    QTemporaryDir root;
    Registry registry{TreeIniPath(root.path())};
    CountingLog log;
    std::vector<std::unique_ptr<SimProcess>> sims;

    explicit Fleet(int ports)
    {
        QDir(root.path()).mkdir(QStringLiteral("DATA"));
        for (int p = 1; p <= ports; ++p) {
            sims.push_back(std::make_unique<SimProcess>(SimArgs(7100 + p)));
            registry.file().WriteString(QStringLiteral("PORTS"), QString::number(p), sims.back()->path());
            MeterRecord m;
            m.name = QStringLiteral("Bench %1").arg(p);
            m.serial = QString::number(7100 + p);
            m.address = QStringLiteral("1");
            m.port = p;
            m.devType = 2;
            AddMeter(registry, 0, m);
        }
    }
};

// Polls `hours` hourly records on every port; returns the wall time.
double Poll(Fleet &fleet, int ports, int hours, double maxSeconds)
{
    ExchangeEngine engine({fleet.root.path(), &fleet.registry, &fleet.log, nullptr, {}});
    const QDateTime now = QDateTime::currentDateTime();
    for (int p = 1; p <= ports; ++p)
        engine.queue().EnqueueRequest(7100 + p, kRequestHourly, DayCountFromDateTime(now),
                                      DayCountFromDateTime(now.addSecs(-3600 * (hours + 1))), true);
    QElapsedTimer wall;
    wall.start();
    // The host's Timer3; the main thread sleeps in its event loop in between.
    QEventLoop loop;
    QTimer supervisor;
    QObject::connect(&supervisor, &QTimer::timeout, [&] {
        engine.SuperviseTick();
        if (engine.queue().Size() == 0 || wall.elapsed() >= maxSeconds * 1000)
            loop.quit();
    });
    engine.SuperviseTick();
    supervisor.start(1000);
    loop.exec();
    const double seconds = wall.elapsed() / 1000.0;
    engine.Shutdown();
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 20;
    const int fleetSeconds = argc > 2 ? std::atoi(argv[2]) : 60;

    Readers(records);

    {
        Fleet one(1);
        const double cpu0 = CpuSeconds();
        const double seconds = Poll(one, 1, records, 600);
        const int got = one.log.records;
        const double perRecord = seconds / std::max(got, 1);
        std::printf("%-34s %-26s %10.1f ms/record   protocol minimum %6.1f ms   ratio %.3fx (goal <= 1.2)\n",
                    "exchange thread: one port", "whole poll of an hour range", perRecord * 1e3,
                    ProtocolMinimumPerRecord() * 1e3, perRecord / ProtocolMinimumPerRecord());
        std::printf("%-34s %d records, %d failures, CPU %.3f ms per record\n", "", got, int(one.log.failures),
                    (CpuSeconds() - cpu0) * 1e3 / std::max(got, 1));
    }

    {
        constexpr int kPorts = 16;
        Fleet fleet(kPorts);
        const double cpu0 = CpuSeconds();
        // Enough hours that every port stays busy for the whole run.
        const double seconds = Poll(fleet, kPorts, 1000, fleetSeconds);
        const double cpu = CpuSeconds() - cpu0;
        const int got = fleet.log.records;
        std::printf("%-34s %d records in %.0f s over %d ports, %d failures\n", "exchange: 16 ports at once", got,
                    seconds, kPorts, int(fleet.log.failures));
        std::printf("%-34s CPU %.3f ms per record; %.2f%% of one core in total, %.3f%% per busy port "
                    "(goal < 2%% per port)\n",
                    "", cpu * 1e3 / std::max(got, 1), cpu / seconds * 100, cpu / seconds * 100 / kPorts);
    }
    return 0;
}
