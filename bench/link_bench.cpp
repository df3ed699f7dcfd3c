// Device link costs, each shown as a ratio against a baseline measured in the same run:
// - the table CRC against a bit-by-bit CRC of the same 256-byte frame;
// - the processor time an idle listening costs against the wall time it waits
//   (the receive loop sleeps between polls of a silent pseudo-terminal).

#include "link/ModbusRtu.h"
#include "link/QtSerialPortLink.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

quint8 g_frame[256];

quint16 BitwiseCrc(const quint8 *bytes, int length)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    // Transmission order as Crc16 returns it: low-order byte of the register first.
    return static_cast<quint16>((crc << 8) | (crc >> 8));
}

void BM_Crc16Table(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(qst::Crc16(g_frame, 254));
    state.SetBytesProcessed(state.iterations() * 254);
}
BENCHMARK(BM_Crc16Table);

void BM_Crc16Bitwise(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(BitwiseCrc(g_frame, 254));
    state.SetBytesProcessed(state.iterations() * 254);
}
BENCHMARK(BM_Crc16Bitwise);

// One listening of 300 ms on a pseudo-terminal that stays silent.
void BM_IdleListen(benchmark::State &state)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    QTemporaryDir root;
    QFile tree(root.path() + QStringLiteral("/Tree.ini"));
    if (!tree.open(QIODevice::WriteOnly)) {
        state.SkipWithError("no Tree.ini");
        close(master);
        return;
    }
    tree.write("[PORTS]\r\n1=");
    tree.write(ptsname(master));
    tree.write("\r\n");
    tree.close();
    qst::QtSerialPortLink link(1, root.path());
    if (link.OpenPort() < 0) {
        state.SkipWithError("open failed");
        close(master);
        return;
    }
    quint8 buffer[qst::kAnswerCapacity];
    for (auto _ : state)
        benchmark::DoNotOptimize(qst::ReceiveAnswer(buffer, qst::kAnswerCapacity, link, 300));
    link.ClosePort();
    close(master);
}
BENCHMARK(BM_IdleListen)->UseRealTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Collects the times so the ratios can be printed after the usual table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            m_real[run.benchmark_name()] = run.GetAdjustedRealTime();
            m_cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        const auto table = m_real.find("BM_Crc16Table");
        const auto bitwise = m_real.find("BM_Crc16Bitwise");
        if (table != m_real.end() && bitwise != m_real.end() && table->second > 0)
            std::printf("CRC-16 table vs bitwise: %.2fx faster\n", bitwise->second / table->second);
        const std::string idle = "BM_IdleListen/iterations:5/real_time";
        const auto real = m_real.find(idle);
        const auto cpu = m_cpu.find(idle);
        if (real != m_real.end() && cpu != m_cpu.end() && real->second > 0)
            std::printf("Idle listening: processor time is %.3f%% of the wall time waited\n",
                100.0 * cpu->second / real->second);
    }

private:
    std::map<std::string, double> m_real;
    std::map<std::string, double> m_cpu;
};

} // namespace

int main(int argc, char **argv)
{
    // Gives the main thread the event dispatcher the port's notifiers expect.
    QCoreApplication app(argc, argv);
    for (int i = 0; i < 256; ++i)
        g_frame[i] = static_cast<quint8>(i * 37 + 11);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
