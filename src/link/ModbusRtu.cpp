#include "link/ModbusRtu.h"

#include <algorithm>
#include <cstring>

namespace qst {

namespace {

// The tables published with the Modbus serial-line standard.
// clang-format off
constexpr quint8 kCrcHigh[256] = {
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40,
};
constexpr quint8 kCrcLow[256] = {
    0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2, 0xC6, 0x06, 0x07, 0xC7,
    0x05, 0xC5, 0xC4, 0x04, 0xCC, 0x0C, 0x0D, 0xCD, 0x0F, 0xCF, 0xCE, 0x0E,
    0x0A, 0xCA, 0xCB, 0x0B, 0xC9, 0x09, 0x08, 0xC8, 0xD8, 0x18, 0x19, 0xD9,
    0x1B, 0xDB, 0xDA, 0x1A, 0x1E, 0xDE, 0xDF, 0x1F, 0xDD, 0x1D, 0x1C, 0xDC,
    0x14, 0xD4, 0xD5, 0x15, 0xD7, 0x17, 0x16, 0xD6, 0xD2, 0x12, 0x13, 0xD3,
    0x11, 0xD1, 0xD0, 0x10, 0xF0, 0x30, 0x31, 0xF1, 0x33, 0xF3, 0xF2, 0x32,
    0x36, 0xF6, 0xF7, 0x37, 0xF5, 0x35, 0x34, 0xF4, 0x3C, 0xFC, 0xFD, 0x3D,
    0xFF, 0x3F, 0x3E, 0xFE, 0xFA, 0x3A, 0x3B, 0xFB, 0x39, 0xF9, 0xF8, 0x38,
    0x28, 0xE8, 0xE9, 0x29, 0xEB, 0x2B, 0x2A, 0xEA, 0xEE, 0x2E, 0x2F, 0xEF,
    0x2D, 0xED, 0xEC, 0x2C, 0xE4, 0x24, 0x25, 0xE5, 0x27, 0xE7, 0xE6, 0x26,
    0x22, 0xE2, 0xE3, 0x23, 0xE1, 0x21, 0x20, 0xE0, 0xA0, 0x60, 0x61, 0xA1,
    0x63, 0xA3, 0xA2, 0x62, 0x66, 0xA6, 0xA7, 0x67, 0xA5, 0x65, 0x64, 0xA4,
    0x6C, 0xAC, 0xAD, 0x6D, 0xAF, 0x6F, 0x6E, 0xAE, 0xAA, 0x6A, 0x6B, 0xAB,
    0x69, 0xA9, 0xA8, 0x68, 0x78, 0xB8, 0xB9, 0x79, 0xBB, 0x7B, 0x7A, 0xBA,
    0xBE, 0x7E, 0x7F, 0xBF, 0x7D, 0xBD, 0xBC, 0x7C, 0xB4, 0x74, 0x75, 0xB5,
    0x77, 0xB7, 0xB6, 0x76, 0x72, 0xB2, 0xB3, 0x73, 0xB1, 0x71, 0x70, 0xB0,
    0x50, 0x90, 0x91, 0x51, 0x93, 0x53, 0x52, 0x92, 0x96, 0x56, 0x57, 0x97,
    0x55, 0x95, 0x94, 0x54, 0x9C, 0x5C, 0x5D, 0x9D, 0x5F, 0x9F, 0x9E, 0x5E,
    0x5A, 0x9A, 0x9B, 0x5B, 0x99, 0x59, 0x58, 0x98, 0x88, 0x48, 0x49, 0x89,
    0x4B, 0x8B, 0x8A, 0x4A, 0x4E, 0x8E, 0x8F, 0x4F, 0x8D, 0x4D, 0x4C, 0x8C,
    0x44, 0x84, 0x85, 0x45, 0x87, 0x47, 0x46, 0x86, 0x82, 0x42, 0x43, 0x83,
    0x41, 0x81, 0x80, 0x40,
};
// clang-format on

constexpr int kRequestSize = 13;

void PutCrc(quint8 *frame, int length)
{
    const quint16 crc = Crc16(frame, length);
    frame[length] = static_cast<quint8>(crc >> 8);
    frame[length + 1] = static_cast<quint8>(crc & 0xFF);
}

// One listening that drops whole answers from other addresses (a shared RS-485 line or
// serial server) and keeps listening until the wait, counted from `start`, is over.
int Listen(SerialPort &port, LinkClock &clock, quint8 address, int waitMs, quint32 start, AnswerFrame *answer,
    int recordLength)
{
    const quint32 wait = static_cast<quint32>(waitMs < kMinWaitMs ? kMinWaitMs : waitMs);
    for (bool first = true;; first = false) {
        const quint32 elapsed = clock.Tick() - start;
        if (!first && elapsed >= wait)
            return -1;
        const int count = ReceiveAnswer(answer->bytes, kAnswerCapacity, port, static_cast<int>(wait - std::min(wait, elapsed)),
            clock, recordLength);
        if (count < 2 || answer->bytes[0] == address || !CrcOk(answer->bytes, count))
            return count;
        port.ReportForeignAnswer(address, answer->bytes[0]);
    }
}

// Line preparation, write, listen (twice at most), CRC check. On 1 answer holds the frame.
int Transact(SerialPort &port, LinkClock &clock, const quint8 *request, int requestLength, int waitMs, quint8 lineState,
    AnswerFrame *answer, int recordLength = 0)
{
    port.FlushPort(0);
    port.FlushPort(1);
    port.SetLineB(1);
    port.SetLineA(lineState);
    port.WritePort(request, requestLength);

    int count = Listen(port, clock, request[0], waitMs, clock.Tick(), answer, recordLength);
    if (count < 0 && !port.Aborted()) {
        // A slow calculator may still answer: listen again without resending.
        clock.Sleep(kRelistenPauseMs);
        if (!port.Aborted())
            count = Listen(port, clock, request[0], waitMs, clock.Tick(), answer, recordLength);
    }
    if (count < 0)
        return kLinkNoAnswer;
    answer->length = count;
    if (!CrcOk(answer->bytes, count))
        return kLinkBadCrc;
    return kLinkOk;
}

int ReadRegisters(quint8 function, quint8 address, qint16 firstRegister, int byteCount, SerialPort &port, int waitMs,
    quint8 *destination, quint8 lineState, LinkClock &clock)
{
    // The answer (address, function, byte count, data, CRC) must fit the answer buffer.
    if (byteCount < 0 || byteCount > kAnswerCapacity - 5)
        return kLinkWrongAnswer;
    quint8 request[kRequestSize] = {};
    const int requestLength = BuildRegisterRequest(request, address, function, firstRegister, byteCount);
    AnswerFrame answer;
    const int result = Transact(port, clock, request, requestLength, waitMs, lineState, &answer);
    if (result != kLinkOk)
        return result;
    if (answer.bytes[1] != function)
        return kLinkWrongAnswer;
    // A short answer would otherwise hand over bytes that never came.
    if (answer.length < 3 + byteCount + 2)
        return kLinkWrongAnswer;
    std::memcpy(destination, answer.bytes + 3, static_cast<size_t>(byteCount));
    return kLinkOk;
}

} // namespace

quint16 Crc16(const quint8 *bytes, int length)
{
    quint8 high = 0xFF;
    quint8 low = 0xFF;
    for (int i = 0; i < length; ++i) {
        const quint8 index = high ^ bytes[i];
        high = low ^ kCrcHigh[index];
        low = kCrcLow[index];
    }
    return static_cast<quint16>((high << 8) | low);
}

bool CrcOk(const quint8 *frame, int count)
{
    if (count < 2)
        return false;
    const quint16 crc = Crc16(frame, count - 2);
    return frame[count - 2] == static_cast<quint8>(crc >> 8) && frame[count - 1] == static_cast<quint8>(crc & 0xFF);
}

int BuildRegisterRequest(quint8 *request, quint8 address, quint8 function, qint16 firstRegister, int byteCount)
{
    const quint16 first = static_cast<quint16>(firstRegister);
    const quint16 registers = static_cast<quint16>(byteCount / 2);
    request[0] = address;
    request[1] = function;
    request[2] = static_cast<quint8>(first >> 8);
    request[3] = static_cast<quint8>(first & 0xFF);
    request[4] = static_cast<quint8>(registers >> 8);
    request[5] = static_cast<quint8>(registers & 0xFF);
    PutCrc(request, 6);
    return 8;
}

int BuildArchiveRequest(quint8 *request, quint8 address, int archiveKind, int recordIndex)
{
    request[0] = address;
    request[1] = kFuncReadRecord;
    request[2] = static_cast<quint8>(archiveKind);
    request[3] = 0x00;
    request[4] = static_cast<quint8>(recordIndex & 0xFF);
    request[5] = static_cast<quint8>((recordIndex >> 8) & 0xFF);
    request[6] = 0x01;
    PutCrc(request, 7);
    return 9;
}

int BuildIdentificationRequest(quint8 *request, quint8 address)
{
    request[0] = address;
    request[1] = kFuncReportId;
    PutCrc(request, 2);
    return 4;
}

int ExpectedAnswerLength(const quint8 *bytes, int count, int recordLength)
{
    if (count < 2)
        return 0;
    const quint8 function = bytes[1];
    if (function & 0x80)
        return 5; // address, function, exception code, CRC
    switch (function) {
    case kFuncReadHolding:
    case kFuncReadInput:
    case kFuncReportId:
        return count < 3 ? 0 : 5 + bytes[2]; // address, function, byte count, data, CRC
    case kFuncReadRecord:
        // Kind, two zero-padded index bytes and the record count carry no length.
        return recordLength > 0 ? 7 + recordLength + 2 : -1;
    default:
        return -1;
    }
}

int InterFrameGapMs(int baud)
{
    // 3.5 characters of 10 bits; above 19,200 baud the standard fixes 1.75 ms.
    if (baud <= 0)
        baud = 19200;
    if (baud > 19200)
        return 2;
    return (35000 + baud - 1) / baud;
}

void PauseBetweenRequests(SerialPort &port, LinkClock &clock)
{
    clock.Sleep(port.FastFraming() ? InterFrameGapMs(port.BaudRate()) : kRequestPauseMs);
}

int AnswerDeadlineMs(int length, int baud)
{
    if (baud <= 0)
        baud = 9600;
    return static_cast<int>((qint64(length) * 10000 + baud - 1) / baud) + kAnswerMarginMs;
}

int ReceiveAnswer(quint8 *buffer, int capacity, SerialPort &port, int waitMs, LinkClock &clock, int recordLength)
{
    if (capacity <= 0)
        return -1;
    const quint32 wait = static_cast<quint32>(waitMs < kMinWaitMs ? kMinWaitMs : waitMs);
    const bool fast = port.FastFraming();
    const quint32 gap = fast ? static_cast<quint32>(InterFrameGapMs(port.BaudRate())) : 0;
    bool lengthRule = fast; // given up for this answer as soon as its bytes do not fit
    bool complete = false; // the expected length came with a correct CRC
    const quint32 start = clock.Tick();
    quint32 reference = start;
    quint32 firstByte = 0;
    // A peer that sends a byte just inside every silence would hold the line for ever: the
    // whole answer has its time too, as long as the longest answer takes at the line's speed.
    quint32 deadline = static_cast<quint32>(AnswerDeadlineMs(capacity, port.BaudRate()));
    int count = 0;
    bool received = false;
    for (;;) {
        if (port.Aborted())
            return received ? count : -1;
        quint8 byte = 0;
        if (port.ReadPort(&byte, 1) > 0) {
            // An over-long answer counts as no answer.
            if (count >= capacity)
                return -1;
            buffer[count++] = byte;
            reference = clock.Tick();
            if (!received) {
                firstByte = reference;
                received = true;
            }
            const int expected = ExpectedAnswerLength(buffer, count, recordLength);
            if (expected > 0 && expected <= capacity)
                deadline = static_cast<quint32>(AnswerDeadlineMs(expected, port.BaudRate()));
            if (reference - firstByte > deadline)
                return count; // cut: the CRC check refuses it
            if (complete) {
                // More than the frame: the silence decides, and the CRC check will refuse it.
                complete = false;
                lengthRule = false;
            } else if (lengthRule) {
                if (expected < 0)
                    lengthRule = false;
                else if (expected == count && CrcOk(buffer, count))
                    complete = true;
                else if (expected != 0 && expected <= count)
                    lengthRule = false;
            }
            continue;
        }
        const quint32 now = clock.Tick();
        if (!fast)
            clock.Sleep(kPollSleepMs);
        const quint32 elapsed = now - reference; // unsigned: survives a wrap of the tick
        if (complete && elapsed >= gap)
            return count;
        if (received && (elapsed > static_cast<quint32>(kSilenceMs) || now - firstByte > deadline))
            return count;
        if (!received && now - start > wait)
            return -1;
        if (fast)
            port.WaitForInput(complete ? static_cast<int>(gap - elapsed) : kPollSleepMs, clock);
    }
}

int ReadHoldingRegisters(quint8 address, qint16 firstRegister, int byteCount, SerialPort &port, int waitMs,
    quint8 *destination, quint8 lineState, LinkClock &clock)
{
    return ReadRegisters(
        kFuncReadHolding, address, firstRegister, byteCount, port, waitMs, destination, lineState, clock);
}

int ReadInputRegisters(quint8 address, qint16 firstRegister, int byteCount, SerialPort &port, int waitMs,
    quint8 *destination, quint8 lineState, LinkClock &clock)
{
    return ReadRegisters(
        kFuncReadInput, address, firstRegister, byteCount, port, waitMs, destination, lineState, clock);
}

int ArchiveRequest(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs, quint8 lineState,
    AnswerFrame *answer, LinkClock &clock, int recordLength)
{
    quint8 request[kRequestSize] = {};
    const int requestLength = BuildArchiveRequest(request, address, archiveKind, recordIndex);
    AnswerFrame frame;
    const int result = Transact(port, clock, request, requestLength, waitMs, lineState, &frame, recordLength);
    if (result != kLinkOk)
        return result;
    if (frame.bytes[1] != kFuncReadRecord)
        return kLinkWrongAnswer;
    // Byte 6 is the number of records delivered; a frame too short to hold it has none.
    if (frame.length < 7 + 2 || frame.bytes[6] < 1)
        return kLinkWrongAnswer;
    *answer = frame;
    return kLinkOk;
}

int IdentificationRequest(
    quint8 address, SerialPort &port, int waitMs, quint8 lineState, AnswerFrame *answer, LinkClock &clock)
{
    quint8 request[kRequestSize] = {};
    const int requestLength = BuildIdentificationRequest(request, address);
    AnswerFrame frame;
    const int result = Transact(port, clock, request, requestLength, waitMs, lineState, &frame);
    if (result != kLinkOk)
        return result;
    if (frame.bytes[1] > 0x80)
        return kLinkWrongAnswer;
    *answer = frame;
    return kLinkOk;
}

} // namespace qst
