// Length-aware framing on the scripted port: where an answer ends, and every way an answer
// that does not fit falls back to the silence.
#include "link/DeviceReaders.h"
#include "link/FakeSerialPort.h"
#include "link/ModbusRtu.h"

#include "common/DayCount.h"

#include "LinkFrames.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

constexpr int kWait = 2000;

struct FastLine
{
    explicit FastLine(bool fast = true)
    {
        port.OpenPort();
        port.SetLineParams(kSpeed19200, kFormat8N1);
        port.SetFastFraming(fast);
    }
    FakeLinkClock clock;
    FakeSerialPort port{clock};
};

// A function-3 answer carrying `bytes` data bytes.
QByteArray RegisterAnswer(int bytes)
{
    QByteArray frame = Bytes({0x01, 0x03, bytes});
    for (int i = 0; i < bytes; ++i)
        frame.append(static_cast<char>(0x10 + i));
    return WithCrc(frame);
}

QByteArray RecordAnswer(int recordBytes)
{
    QByteArray frame = Bytes({0x01, 0x41, 0x00, 0x00, 0x05, 0x00, 0x01});
    for (int i = 0; i < recordBytes; ++i)
        frame.append(static_cast<char>(i < 4 ? QByteArray("\x18\x05\x11\x0A")[i] : i)); // 17.05.2024 10:00
    return WithCrc(frame);
}

} // namespace

TEST(FastFraming, ExpectedAnswerLengths)
{
    const struct
    {
        QByteArray head;
        int recordLength;
        int expected;
    } cases[] = {
        {Bytes({0x01}), 0, 0},
        {Bytes({0x01, 0x03}), 0, 0},
        {Bytes({0x01, 0x03, 0x18}), 0, 29},
        {Bytes({0x01, 0x04, 0xF0}), 0, 245},
        {Bytes({0x01, 0x11, 0x14}), 0, 25},
        {Bytes({0x01, 0x83}), 0, 5},
        {Bytes({0x01, 0xC1}), 108, 5},
        {Bytes({0x01, 0x41}), 108, 117},
        {Bytes({0x01, 0x41}), 210, 219},
        {Bytes({0x01, 0x41}), 16, 25},
        {Bytes({0x01, 0x41}), 0, -1},
        {Bytes({0x01, 0x05, 0x00}), 0, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ExpectedAnswerLength(Data(c.head), static_cast<int>(c.head.size()), c.recordLength), c.expected)
            << c.head.toHex().constData() << " record " << c.recordLength;
}

TEST(FastFraming, InterFrameGapAndPause)
{
    const struct
    {
        int baud;
        int gapMs;
    } gaps[] = {{1200, 30}, {9600, 4}, {19200, 2}, {38400, 2}, {115200, 2}, {0, 2}};
    for (const auto &g : gaps)
        EXPECT_EQ(InterFrameGapMs(g.baud), g.gapMs) << g.baud;

    for (const bool fast : {false, true}) {
        FastLine line(fast);
        line.port.SetLineParams(kSpeed9600, kFormat8N1);
        const quint32 before = line.clock.Tick();
        PauseBetweenRequests(line.port, line.clock);
        EXPECT_EQ(line.clock.Tick() - before, fast ? 4u : 50u);
    }
}

// Each case: the answer's bytes with their arrival times after the write; the result and
// the time the transaction took on the virtual clock, with the framing on and off.
TEST(FastFraming, WhereTheAnswerEnds)
{
    const QByteArray good = RegisterAnswer(24); // 29 bytes
    QByteArray badCrc = good;
    badCrc[10] = static_cast<char>(badCrc[10] ^ 0x01);
    const QByteArray exception = WithCrc(Bytes({0x01, 0x83, 0x02}));
    auto spaced = [](qsizetype n, int first, int gap, int lateAt = -1, int late = 0) {
        QList<int> t;
        for (qsizetype i = 0; i < n; ++i)
            t.append(first + static_cast<int>(i) * gap + (lateAt >= 0 && i >= lateAt ? late : 0));
        return t;
    };
    const struct
    {
        const char *name;
        QByteArray bytes;
        QList<int> at;
        int fastResult;
        int fastMs; // time from the write to the transaction's end
        int partsResult;
        int partsMs;
    } cases[] = {
        // Last byte at 20 + 28 = 48 ms: the gap of 2 ms ends it; the silence rule needs more
        // than 100 ms without a byte, seen by its 10 ms polls.
        {"whole answer", good, spaced(29, 20, 1), kLinkOk, 50, kLinkOk, 170},
        {"exception", exception, spaced(5, 20, 1), kLinkWrongAnswer, 26, kLinkWrongAnswer, 150},
        // A wrong CRC at the expected length: the silence decides, then the CRC check refuses it.
        {"bad CRC", badCrc, spaced(29, 20, 1), kLinkBadCrc, 158, kLinkBadCrc, 170},
        // A byte more than the frame, right after it: the silence decides and the CRC check refuses it.
        {"trailing byte", good + Bytes({0x5A}), spaced(30, 20, 1), kLinkBadCrc, 159, kLinkBadCrc, 170},
        // Late bytes (80 ms pause after byte 10) belong to the answer under both rules.
        {"late bytes", good, spaced(29, 20, 1, 10, 80), kLinkOk, 130, kLinkOk, 250},
        // A pause longer than the silence cuts the answer under both rules.
        {"cut answer", good, spaced(29, 20, 1, 10, 150), kLinkBadCrc, 139, kLinkBadCrc, 150},
    };
    for (const auto &c : cases) {
        for (const bool fast : {true, false}) {
            FastLine line(fast);
            line.port.AddTimedAnswer(c.bytes, c.at);
            quint8 dest[24] = {};
            const quint32 start = line.clock.Tick();
            const int result = ReadHoldingRegisters(1, 0, 24, line.port, kWait, dest, 0, line.clock);
            const int took = static_cast<int>(line.clock.Tick() - start);
            const int expectedResult = fast ? c.fastResult : c.partsResult;
            const int expectedMs = fast ? c.fastMs : c.partsMs;
            EXPECT_EQ(result, expectedResult) << c.name << (fast ? " fast" : " silence");
            // The silence rule polls every 10 ms; the length rule waits on the port's input.
            EXPECT_NEAR(took, expectedMs, fast ? 2 : 10) << c.name << (fast ? " fast" : " silence");
            if (result == kLinkOk) {
                EXPECT_EQ(dest[23], 0x10 + 23) << c.name;
            }
        }
    }
}

TEST(FastFraming, RecordAnswersEndAtTheLayoutsLength)
{
    // A version-2 hourly record as the layout has it ends at its length; a longer one (the
    // layout does not fix it) fails the CRC there and is taken whole after the silence.
    const struct
    {
        int recordBytes;
        int result;
        int minMs;
        int maxMs;
    } cases[] = {{kArchiveRecordV2, kLinkOk, 0, 40}, {kArchiveRecordV2 + 2, kLinkOk, 100, 160}};
    for (const auto &c : cases) {
        FastLine line;
        const QByteArray answer = RecordAnswer(c.recordBytes);
        line.port.AddAnswer(answer, 10, 0);
        ArchiveValues values;
        TotalsSnapshot snapshot;
        bool filled = false;
        const quint32 start = line.clock.Tick();
        EXPECT_EQ(ReadArchiveRecordV2(1, kArchiveHourly, 5, line.port, kWait, 0, &values, &snapshot, &filled, line.clock),
                  c.result)
            << c.recordBytes;
        const int took = static_cast<int>(line.clock.Tick() - start);
        EXPECT_GE(took, c.minMs) << c.recordBytes;
        EXPECT_LE(took, c.maxMs) << c.recordBytes;
        EXPECT_EQ(values.time, DayCountFromDateTime(QDateTime(QDate(2024, 5, 17), QTime(10, 0)))) << c.recordBytes;
    }
}
