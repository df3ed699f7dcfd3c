#include "link/ModbusRtu.h"
#include "link/FakeSerialPort.h"

#include "LinkFrames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>

using namespace qst;
using namespace qst::test;

namespace {

constexpr int kWait = 2000;

// A fake port on a virtual clock, the way a transaction sees a calculator.
struct Line
{
    FakeLinkClock clock;
    FakeSerialPort port { clock };
};

QByteArray Block(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = static_cast<char>(seed + 7 * i);
    return b;
}

} // namespace

TEST(Crc16, StandardVectors)
{
    struct Case
    {
        QByteArray data;
        QByteArray crc; // in transmission order
    };
    const Case cases[] = {
        { Bytes({ 0x01, 0x03, 0x00, 0x00, 0x00, 0x01 }), Bytes({ 0x84, 0x0A }) },
        { QByteArray("123456789"), Bytes({ 0x37, 0x4B }) },
        { QByteArray(), Bytes({ 0xFF, 0xFF }) },
        { Bytes({ 0x01, 0x41, 0x03, 0x00, 0xC7, 0x00, 0x01 }), Bytes({ 0x30, 0xEC }) },
    };
    for (const Case &c : cases) {
        const quint16 crc = Crc16(Data(c.data), static_cast<int>(c.data.size()));
        EXPECT_EQ(static_cast<quint8>(crc >> 8), static_cast<quint8>(c.crc[0])) << c.data.toHex().constData();
        EXPECT_EQ(static_cast<quint8>(crc & 0xFF), static_cast<quint8>(c.crc[1])) << c.data.toHex().constData();
        EXPECT_TRUE(CrcOk(Data(c.data + c.crc), static_cast<int>(c.data.size() + 2)));
    }
}

TEST(Crc16, CrcOkRejectsAnyCorruptionAndShortFrames)
{
    const QByteArray frame = Bytes({ 0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A });
    for (int i = 0; i < frame.size(); ++i) {
        QByteArray bad = frame;
        bad[i] = static_cast<char>(bad[i] ^ 0x10);
        EXPECT_FALSE(CrcOk(Data(bad), static_cast<int>(bad.size()))) << "byte " << i;
    }
    // The CRC bytes swapped: the low-order byte must come first on the line.
    EXPECT_FALSE(CrcOk(Data(Bytes({ 0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x84 })), 8));
    EXPECT_FALSE(CrcOk(Data(frame), 1));
    EXPECT_FALSE(CrcOk(Data(frame), 0));
}

// The exact bytes each request puts on the line, and the line preparation before it.
TEST(Transaction, GoldenRequestFrames)
{
    struct Case
    {
        const char *name;
        std::function<int(Line &)> run;
        QByteArray request;
        int lineState;
    };
    quint8 dest[256];
    AnswerFrame answer;
    const Case cases[] = {
        { "holding 8..9", [&](Line &l) { return ReadHoldingRegisters(0x01, 8, 4, l.port, kWait, dest, 0, l.clock); },
            Bytes({ 0x01, 0x03, 0x00, 0x08, 0x00, 0x02, 0x45, 0xC9 }), 0 },
        { "holding 0..92", [&](Line &l) { return ReadHoldingRegisters(0x01, 0, 186, l.port, kWait, dest, 1, l.clock); },
            Bytes({ 0x01, 0x03, 0x00, 0x00, 0x00, 0x5D, 0x84, 0x33 }), 1 },
        { "input 68..135", [&](Line &l) { return ReadInputRegisters(0x10, 68, 136, l.port, kWait, dest, 0, l.clock); },
            Bytes({ 0x10, 0x04, 0x00, 0x44, 0x00, 0x44, 0xB3, 0x6D }), 0 },
        { "input 0..119", [&](Line &l) { return ReadInputRegisters(0x01, 0, 240, l.port, kWait, dest, 0, l.clock); },
            Bytes({ 0x01, 0x04, 0x00, 0x00, 0x00, 0x78, 0xF0, 0x28 }), 0 },
        { "record daily 0x123",
            [&](Line &l) { return ArchiveRequest(0x22, 1, 0x0123, l.port, kWait, 1, &answer, l.clock); },
            Bytes({ 0x22, 0x41, 0x01, 0x00, 0x23, 0x01, 0x01, 0x1A, 0x49 }), 1 },
        { "record journal 199",
            [&](Line &l) { return ArchiveRequest(0x01, 3, 199, l.port, kWait, 0, &answer, l.clock); },
            Bytes({ 0x01, 0x41, 0x03, 0x00, 0xC7, 0x00, 0x01, 0x30, 0xEC }), 0 },
        { "identification", [&](Line &l) { return IdentificationRequest(0xF7, l.port, kWait, 0, &answer, l.clock); },
            Bytes({ 0xF7, 0x11, 0x87, 0x8C }), 0 },
    };
    for (const Case &c : cases) {
        Line line;
        line.port.AddSilence();
        EXPECT_EQ(c.run(line), kLinkNoAnswer) << c.name;
        ASSERT_EQ(line.port.writes().size(), 1) << c.name << ": the second listening must not resend";
        EXPECT_EQ(line.port.writes()[0].toHex(' '), c.request.toHex(' ')) << c.name;
        const QStringList expectedCalls = {
            QStringLiteral("FlushPort(0)"),
            QStringLiteral("FlushPort(1)"),
            QStringLiteral("SetLineB(1)"),
            QStringLiteral("SetLineA(%1)").arg(c.lineState),
            QStringLiteral("WritePort(%1)").arg(c.request.size()),
        };
        EXPECT_EQ(line.port.calls(), expectedCalls) << c.name;
    }
}

TEST(Transaction, RegisterAnswerIsCopied)
{
    Line line;
    const QByteArray block = Block(186, 3);
    line.port.AddAnswer(RegisterAnswer(0x01, 0x03, block), 40, 1);
    quint8 dest[186] = {};
    ASSERT_EQ(ReadHoldingRegisters(0x01, 0, 186, line.port, kWait, dest, 0, line.clock), kLinkOk);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(dest), 186), block);
}

// Every faulty answer gives its code and leaves the destination untouched.
TEST(Transaction, FaultyRegisterAnswers)
{
    const QByteArray good = RegisterAnswer(0x01, 0x04, Block(24, 9));
    QByteArray corrupted = good;
    corrupted[10] = static_cast<char>(corrupted[10] ^ 0x01);
    struct Case
    {
        const char *name;
        QByteArray answer;
        int expected;
    };
    const Case cases[] = {
        { "silence", QByteArray(), kLinkNoAnswer },
        { "one byte", Bytes({ 0x01 }), kLinkBadCrc },
        { "cut before its CRC", good.left(good.size() - 1), kLinkBadCrc },
        { "corrupted data byte", corrupted, kLinkBadCrc },
        { "trailing byte after a valid frame", good + Bytes({ 0x5A }), kLinkBadCrc },
        { "exception 0x84", WithCrc(Bytes({ 0x01, 0x84, 0x02 })), kLinkWrongAnswer },
        { "function 3 instead of 4", RegisterAnswer(0x01, 0x03, Block(24, 9)), kLinkWrongAnswer },
        { "fewer data bytes than asked", RegisterAnswer(0x01, 0x04, Block(20, 9)), kLinkWrongAnswer },
    };
    for (const Case &c : cases) {
        Line line;
        if (c.answer.isEmpty())
            line.port.AddSilence();
        else
            line.port.AddAnswer(c.answer, 30, 1);
        quint8 dest[24];
        std::memset(dest, 0xAA, sizeof dest);
        EXPECT_EQ(ReadInputRegisters(0x01, 6, 24, line.port, kWait, dest, 0, line.clock), c.expected) << c.name;
        for (quint8 b : dest)
            ASSERT_EQ(b, 0xAA) << c.name;
    }
}

// On a shared line another calculator's answer is dropped, reported, and the listening
// goes on within the same wait.
TEST(Transaction, ForeignAddressAnswersAreDropped)
{
    const QByteArray ours = RegisterAnswer(0x01, 0x03, Bytes({ 0x12, 0x34 }));
    const QByteArray foreign = RegisterAnswer(0x09, 0x03, Bytes({ 0x56, 0x78 }));
    QByteArray badCrcForeign = foreign;
    badCrcForeign[3] = static_cast<char>(badCrcForeign[3] ^ 0x01);
    auto timed = [](const QList<QByteArray> &frames, int pauseMs) {
        QByteArray bytes;
        QList<int> delays;
        int at = 30;
        for (const QByteArray &f : frames) {
            for (char c : f) {
                bytes.append(c);
                delays.append(at++);
            }
            at += pauseMs;
        }
        return std::pair { bytes, delays };
    };
    struct Case
    {
        const char *name;
        QList<QByteArray> frames;
        int pauseMs;
        int expected;
        int reports;
    };
    const Case cases[] = {
        { "foreign, then ours", { foreign, ours }, 300, kLinkOk, 1 },
        { "three foreign, then ours", { foreign, foreign, foreign, ours }, 200, kLinkOk, 3 },
        { "only foreign", { foreign }, 0, kLinkNoAnswer, 2 }, // heard again by the second listening
        { "foreign with a bad CRC cannot be told apart", { badCrcForeign, ours }, 300, kLinkBadCrc, 0 },
        { "ours late: the second listening takes it", { foreign, ours }, 2500, kLinkOk, 1 },
    };
    for (const Case &c : cases) {
        Line line;
        const auto [bytes, delays] = timed(c.frames, c.pauseMs);
        line.port.AddTimedAnswer(bytes, delays);
        if (QByteArray(c.name) == "only foreign")
            line.port.Inject(foreign, 2000 + 2000 + 50); // during the second listening
        int reports = 0;
        line.port.SetForeignAnswerReport([&](quint8 asked, quint8 answered) {
            EXPECT_EQ(asked, 0x01);
            EXPECT_EQ(answered, 0x09);
            ++reports;
        });
        quint8 dest[2] = { 0xAA, 0xAA };
        EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 2, line.port, kWait, dest, 0, line.clock), c.expected) << c.name;
        EXPECT_EQ(reports, c.reports) << c.name;
        EXPECT_EQ(dest[0], c.expected == kLinkOk ? 0x12 : 0xAA) << c.name;
        EXPECT_EQ(line.port.writes().size(), 1) << c.name;
        // Never more than the two listenings and the pause between them.
        EXPECT_LE(line.clock.Tick(), quint32(kWait + kRelistenPauseMs + kWait + 200)) << c.name;
    }
}

// A peer sending one byte just inside every silence ends at the answer's deadline, not
// after 256 × 50 ms.
TEST(Transaction, DribbledAnswerEndsAtItsDeadline)
{
    for (int gapMs : { 50, 99 }) {
        Line line;
        line.port.AddAnswer(QByteArray(300, '\x01'), 20, gapMs);
        AnswerFrame answer;
        EXPECT_EQ(ArchiveRequest(0x01, 0, 0, line.port, kWait, 0, &answer, line.clock), kLinkBadCrc) << gapMs;
        EXPECT_LE(line.clock.Tick(), quint32(20 + AnswerDeadlineMs(kAnswerCapacity, 0) + gapMs + 20)) << gapMs;
    }
    // Once the answer tells its length, that length sets the deadline: a register answer of
    // 45 bytes dribbled at 90 ms is cut after about a second, not 4 s later.
    Line line;
    const QByteArray slow = RegisterAnswer(0x01, 0x03, Block(40, 1));
    line.port.AddAnswer(slow, 20, 90);
    quint8 dest[40] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 40, line.port, kWait, dest, 0, line.clock), kLinkBadCrc);
    EXPECT_LE(line.clock.Tick(), quint32(20 + AnswerDeadlineMs(int(slow.size()), 0) + 90 + 20));
    // A sound answer at the line's pace is untouched by the deadline.
    Line paced;
    paced.port.AddAnswer(RegisterAnswer(0x01, 0x03, Block(240, 1)), 20, 1);
    quint8 big[240] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 240, paced.port, kWait, big, 0, paced.clock), kLinkOk);
}

TEST(Transaction, AnswerDeadlineArithmetic)
{
    EXPECT_EQ(AnswerDeadlineMs(256, 9600), 267 + kAnswerMarginMs);
    EXPECT_EQ(AnswerDeadlineMs(256, 0), AnswerDeadlineMs(256, 9600));
    for (int baud : { 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 }) {
        for (int length = 0; length <= kAnswerCapacity; ++length) {
            const int reference = static_cast<int>(std::ceil(length * 10.0 * 1000.0 / baud - 1e-9)) + kAnswerMarginMs;
            ASSERT_EQ(AnswerDeadlineMs(length, baud), reference) << length << " at " << baud;
        }
    }
}

// A stopping thread ends a transaction at once: no second listening.
TEST(Transaction, AbortFlagEndsTheTransaction)
{
    Line line;
    std::atomic<bool> stop { false };
    line.port.SetAbortFlag(&stop);
    line.port.AddSilence();
    stop = true;
    quint8 dest[2] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 2, line.port, kWait, dest, 0, line.clock), kLinkNoAnswer);
    EXPECT_LT(line.clock.Tick(), 100u);
}

TEST(Transaction, RecordAndIdentificationChecks)
{
    struct Case
    {
        const char *name;
        bool archive;
        QByteArray answer;
        int expected;
    };
    const QByteArray record(16, '\x01');
    const Case cases[] = {
        { "record", true, RecordAnswer(0x01, 3, record), kLinkOk },
        { "record count 0", true, RecordAnswer(0x01, 3, record, 0), kLinkWrongAnswer },
        { "exception 0xC1", true, WithCrc(Bytes({ 0x01, 0xC1, 0x02 })), kLinkWrongAnswer },
        { "function 3 to a record request", true, WithCrc(Bytes({ 0x01, 0x03, 0x03, 0x00, 0x00, 0x00, 0x01 })),
            kLinkWrongAnswer },
        { "record header cut short", true, WithCrc(Bytes({ 0x01, 0x41, 0x03, 0x00 })), kLinkWrongAnswer },
        { "identification", false, WithCrc(Bytes({ 0x01, 0x11, 0x09, 1, 2, 3, 4, 5, 6, 2, 1, 0 })), kLinkOk },
        { "identification exception 0x91", false, WithCrc(Bytes({ 0x01, 0x91, 0x01 })), kLinkWrongAnswer },
        { "identification function byte 0x81", false, WithCrc(Bytes({ 0x01, 0x81, 0x01 })), kLinkWrongAnswer },
    };
    for (const Case &c : cases) {
        Line line;
        line.port.AddAnswer(c.answer, 20, 2);
        AnswerFrame answer;
        const int result = c.archive ? ArchiveRequest(0x01, 3, 0, line.port, kWait, 0, &answer, line.clock)
                                     : IdentificationRequest(0x01, line.port, kWait, 0, &answer, line.clock);
        EXPECT_EQ(result, c.expected) << c.name;
        if (result == kLinkOk) {
            EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(answer.bytes), answer.length), c.answer) << c.name;
        }
    }
}

// Timing on the virtual clock: nothing sleeps for real.
TEST(Transaction, LateAnswerIsCollectedBySecondListening)
{
    Line line;
    const QByteArray block = Block(4, 1);
    line.port.AddAnswer(RegisterAnswer(0x01, 0x03, block), 2500, 1);
    quint8 dest[4] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 4, line.port, 2000, dest, 0, line.clock), kLinkOk);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(dest), 4), block);
    EXPECT_EQ(line.port.writes().size(), 1);
    EXPECT_GE(line.clock.Tick(), 4000u); // both listenings and the pause between them
}

TEST(Transaction, GapsOfUpTo100msStayInOneFrame)
{
    Line line;
    line.port.AddAnswer(RegisterAnswer(0x01, 0x03, Block(4, 1)), 50, 100);
    quint8 dest[4] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 4, line.port, kWait, dest, 0, line.clock), kLinkOk);
}

TEST(Transaction, LongerGapCutsTheFrameAndTheRestIsDiscardedNextTime)
{
    Line line;
    const QByteArray answer = RegisterAnswer(0x01, 0x03, Block(4, 1));
    QList<int> delays;
    for (int i = 0; i < answer.size(); ++i)
        delays.append(50 + i * 5 + (i >= 4 ? 150 : 0)); // a 155 ms pause after byte 3
    line.port.AddTimedAnswer(answer, delays);
    quint8 dest[4] = {};
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 4, line.port, kWait, dest, 0, line.clock), kLinkBadCrc);
    EXPECT_GT(line.port.pendingBytes(), 0);

    // The tail waits in the port; the next exchange's line preparation throws it away.
    line.clock.Advance(1000);
    const QByteArray next = Block(4, 77);
    line.port.AddAnswer(RegisterAnswer(0x01, 0x03, next), 30, 1);
    EXPECT_EQ(ReadHoldingRegisters(0x01, 8, 4, line.port, kWait, dest, 0, line.clock), kLinkOk);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(dest), 4), next);
}

TEST(Transaction, OverLongAnswerCountsAsNoAnswer)
{
    // 257 bytes: the first listening gives up at byte 257, the second hears nothing.
    Line line;
    line.port.AddAnswer(QByteArray(257, '\x01'), 20, 1);
    AnswerFrame answer;
    EXPECT_EQ(ArchiveRequest(0x01, 0, 0, line.port, kWait, 0, &answer, line.clock), kLinkNoAnswer);
    EXPECT_EQ(line.port.writes().size(), 1);
    EXPECT_GE(line.clock.Tick(), 20u + 2000u + 2000u);

    // 256 bytes is the largest answer taken.
    Line full;
    const QByteArray frame = RecordAnswer(0x01, 0, QByteArray(256 - 9, '\x02'));
    ASSERT_EQ(frame.size(), 256);
    full.port.AddAnswer(frame, 20, 1);
    EXPECT_EQ(ArchiveRequest(0x01, 0, 0, full.port, kWait, 0, &answer, full.clock), kLinkOk);
    EXPECT_EQ(answer.length, 256);
}

TEST(ReceiveAnswer, WaitBelow100msIsRaisedTo100ms)
{
    // A byte after 105 ms: a literal 50 ms wait would have given up before it came.
    for (int wait : { 0, 50, 100 }) {
        Line line;
        line.port.Inject(Bytes({ 0x42 }), 105);
        quint8 buffer[kAnswerCapacity];
        EXPECT_EQ(ReceiveAnswer(buffer, kAnswerCapacity, line.port, wait, line.clock), 1) << wait;
    }
    Line line;
    line.port.Inject(Bytes({ 0x42 }), 300);
    quint8 buffer[kAnswerCapacity];
    EXPECT_EQ(ReceiveAnswer(buffer, kAnswerCapacity, line.port, 50, line.clock), -1);
    EXPECT_LT(line.clock.Tick(), 300u);
}

TEST(ReceiveAnswer, CapacityAndTickWrap)
{
    Line line;
    quint8 buffer[4];
    EXPECT_EQ(ReceiveAnswer(buffer, 0, line.port, kWait, line.clock), -1);

    // The tick wraps while the answer comes: the frame is still timed correctly.
    FakeLinkClock clock(0xFFFFFF00u);
    FakeSerialPort port(clock);
    port.Inject(Bytes({ 1, 2, 3 }), 500);
    EXPECT_EQ(ReceiveAnswer(buffer, 4, port, kWait, clock), 3);
    EXPECT_LT(clock.Tick(), 1000u);
    EXPECT_EQ(buffer[2], 3);
}
