// Polling speed against the simulator at 19200 baud with 20 ms of device latency, on a
// pseudo-terminal and over loopback TCP, with the silence framing and the length-aware one.
// Each figure is set against a minimum computed from the frame sizes in the same run:
// the floor is the wire time of both transactions plus the device latency of each; the
// silence framing adds 100 ms of silence per answer and the 50 ms pause.
//  1. the readers as the exchange thread calls them (parameters + record + pause);
//  2. the whole exchange thread on one port, from its first stored record to its last (its
//     start-up and the supervisor's tick are left out);
//  3. sixteen ports at once (pseudo-terminals, silence framing; TCP, length-aware framing):
//     the engine's processor time per record and per busy port.
// Usage: poll_bench [records] [seconds for each 16-port run]
#include "BenchTiming.h"
#include "CountingLog.h"
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "link/DeviceReaders.h"
#include "link/ModbusRtu.h"
#include "link/PortLinks.h"
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
using qst::bench::CountingLog;
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

enum class Link
{
    Pty,
    Tcp,
};

const char *LinkName(Link link)
{
    return link == Link::Pty ? "pty" : "TCP";
}

// Wire time of both transactions and the device latency of each.
double FloorPerRecord()
{
    return (kParamBytes + kRecordBytes) * kBitsPerByte / kBaud + 2 * kLatency;
}

// What the silence framing adds by its rules: the silence after each answer and the pause.
double MinimumPerRecord(bool fast)
{
    return fast ? FloorPerRecord() : FloorPerRecord() + 2 * kSilence + kPause;
}

const char *Goal(bool fast, bool thread)
{
    if (fast)
        return "(goal <= 1.3)";
    return thread ? "(goal <= 1.2)" : "(goal <= 1.15)";
}

double CpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QStringList SimArgs(int serial, Link link)
{
    QStringList args{QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
                     QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"),
                     QStringLiteral("20")};
    if (link == Link::Tcp)
        args << QStringLiteral("--tcp-listen") << QStringLiteral("127.0.0.1:0");
    return args;
}

void MapPort(ProfileFile &tree, int port, const QString &device, bool fast)
{
    tree.WriteString(QStringLiteral("PORTS"), QString::number(port), device);
    tree.WriteString(QStringLiteral("PORTS"), FastFramingKey(port), fast ? QStringLiteral("1") : QStringLiteral("0"));
}

void Readers(int records, Link link, bool fast)
{
    SimProcess sim(SimArgs(7001, link));
    QTemporaryDir root;
    {
        ProfileFile tree(TreeIniPath(root.path()));
        MapPort(tree, 1, sim.path(), fast);
    }
    const std::unique_ptr<SerialPort> port = MakePortLink(1, root.path());
    if (!sim.started() || port->OpenPort() < 0) {
        std::printf("readers: cannot open the simulator's line\n");
        return;
    }
    port->SetLineParams(13, 3);
    int ok = 0;
    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int back = 0; back < records; ++back) {
        qint16 P[kArchiveParamCount] = {};
        if (ReadArchiveParams(1, *port, 2000, 0, P) != kLinkOk)
            continue;
        ArchiveValues v;
        TotalsSnapshot s;
        if (ReadArchiveRecordV2(1, kArchiveHourly, ArchiveRecordIndex(P[2], P[1], P[0], back), *port, 2000, 0, &v,
                                &s) == kLinkOk)
            ++ok;
        PauseBetweenRequests(*port, SystemLinkClock());
    }
    const double perRecord = wall.elapsed() / 1000.0 / records;
    const double cpu = (CpuSeconds() - cpu0) / records;
    port->ClosePort();
    const QByteArray label = QStringLiteral("readers, %1, %2").arg(QLatin1String(LinkName(link)),
                                                                   fast ? QLatin1String("length") : QLatin1String("silence")).toLatin1();
    std::printf("%-34s %8.1f ms/record  minimum %6.1f ms  ratio %.3fx %-15s floor %6.1f ms  ratio %.3fx\n",
                label.constData(), perRecord * 1e3, MinimumPerRecord(fast) * 1e3,
                perRecord / MinimumPerRecord(fast), Goal(fast, false), FloorPerRecord() * 1e3,
                perRecord / FloorPerRecord());
    std::printf("%-34s %d of %d records read; CPU %.3f ms per record (goal < 2 ms)\n", "", ok, records, cpu * 1e3);
}

struct Fleet
{
    QTemporaryDir root;
    Registry registry{TreeIniPath(root.path())};
    CountingLog log;
    std::vector<std::unique_ptr<SimProcess>> sims;

    Fleet(int ports, Link link, bool fast)
    {
        QDir(root.path()).mkdir(QStringLiteral("DATA"));
        for (int p = 1; p <= ports; ++p) {
            sims.push_back(std::make_unique<SimProcess>(SimArgs(7100 + p, link)));
            MapPort(registry.file(), p, sims.back()->path(), fast);
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

    for (const Link link : {Link::Pty, Link::Tcp})
        for (const bool fast : {false, true})
            Readers(records, link, fast);

    for (const Link link : {Link::Pty, Link::Tcp}) {
        for (const bool fast : {false, true}) {
            Fleet one(1, link, fast);
            const double cpu0 = CpuSeconds();
            Poll(one, 1, records, 600);
            const int got = one.log.records;
            const double perRecord = one.log.SecondsPerRecord();
            const QByteArray label = QStringLiteral("exchange thread, %1, %2")
                                         .arg(QLatin1String(LinkName(link)),
                                              fast ? QLatin1String("length") : QLatin1String("silence"))
                                         .toLatin1();
            std::printf("%-34s %8.1f ms/record  minimum %6.1f ms  ratio %.3fx %-15s floor %6.1f ms  ratio %.3fx\n",
                        label.constData(), perRecord * 1e3, MinimumPerRecord(fast) * 1e3,
                        perRecord / MinimumPerRecord(fast), Goal(fast, true), FloorPerRecord() * 1e3,
                        perRecord / FloorPerRecord());
            std::printf("%-34s %d records, %d failures, CPU %.3f ms per record\n", "", got, int(one.log.failures),
                        (CpuSeconds() - cpu0) * 1e3 / std::max(got, 1));
        }
    }

    for (const auto &[link, fast] : {std::pair{Link::Pty, false}, std::pair{Link::Tcp, true}}) {
        constexpr int kPorts = 16;
        Fleet fleet(kPorts, link, fast);
        const double cpu0 = CpuSeconds();
        // Enough hours that every port stays busy for the whole run.
        const double seconds = Poll(fleet, kPorts, 1000, fleetSeconds);
        const double cpu = CpuSeconds() - cpu0;
        const int got = fleet.log.records;
        const QByteArray label = QStringLiteral("16 ports at once, %1, %2")
                                     .arg(QLatin1String(LinkName(link)),
                                          fast ? QLatin1String("length") : QLatin1String("silence"))
                                     .toLatin1();
        std::printf("%-34s %d records in %.0f s over %d ports, %d failures\n", label.constData(), got, seconds, kPorts,
                    int(fleet.log.failures));
        std::printf("%-34s CPU %.3f ms per record; %.2f%% of one core in total, %.3f%% per busy port "
                    "(goal < 2%% per port)\n",
                    "", cpu * 1e3 / std::max(got, 1), cpu / seconds * 100, cpu / seconds * 100 / kPorts);
    }
    return 0;
}
