#pragma once

#include "link/LinkClock.h"
#include "common/LinkResult.h"
#include "link/SerialPort.h"

#include <QtGlobal>

namespace qst {

// One request/answer exchange with a calculator over an open port. Synchronous, no state
// between calls, fixed buffers only. Results are the codes of LinkResult.h.

constexpr int kAnswerCapacity = 256; // bytes accepted per answer
constexpr int kSilenceMs = 100; // more silence than this ends a frame
constexpr int kMinWaitMs = 100; // shorter waits are raised to this
constexpr int kPollSleepMs = 10;
constexpr int kRelistenPauseMs = 2000; // pause before the second listening
constexpr int kRequestPauseMs = 50; // between the requests of a poll, unless fast framing is on
constexpr int kAnswerMarginMs = 1000; // an answer's time beyond its length at the line's speed

constexpr quint8 kFuncReadHolding = 0x03;
constexpr quint8 kFuncReadInput = 0x04;
constexpr quint8 kFuncReadRecord = 0x41;
constexpr quint8 kFuncReportId = 0x11;

// One answer frame as received, CRC included.
struct AnswerFrame
{
    quint8 bytes[kAnswerCapacity] = {};
    int length = 0;
};

// Modbus CRC-16 by the standard's high/low table method; the high byte of the result
// is sent first.
quint16 Crc16(const quint8 *bytes, int length);
// True when the last two of count bytes are the CRC of the bytes before them.
bool CrcOk(const quint8 *frame, int count);

// Request frames with their CRC; each returns its length (8, 9, 4). request must hold 13
// bytes. The register fields are high byte first, the record index low byte first.
int BuildRegisterRequest(quint8 *request, quint8 address, quint8 function, qint16 firstRegister, int byteCount);
int BuildArchiveRequest(quint8 *request, quint8 address, int archiveKind, int recordIndex);
int BuildIdentificationRequest(quint8 *request, quint8 address);

// Collects one answer: bytes until more than 100 ms of silence after the first byte, or
// until the answer's deadline (AnswerDeadlineMs from its first byte, for its expected
// length once known, else for capacity bytes) has passed: a peer dribbling bytes cannot
// hold the line. Returns the byte count, or -1 when nothing came within the wait, the
// answer would exceed capacity, or the port's abort flag was set before a byte came.
// buffer must hold capacity bytes.
// With the port's fast framing on, an answer also ends once its expected length has come
// with a correct CRC and the 3.5-character gap passed without another byte; an answer that
// does not fit (length unknown or wrong, bad CRC, a byte after the end) is left to the
// silence. recordLength is the record size a function-0x41 answer should carry, 0 if unknown.
int ReceiveAnswer(quint8 *buffer, int capacity, SerialPort &port, int waitMs, LinkClock &clock = SystemLinkClock(),
    int recordLength = 0);

// The length a Modbus answer must have, from its first count bytes: more than 0 once known,
// 0 while more bytes are needed, -1 when its bytes do not tell (only the silence can).
int ExpectedAnswerLength(const quint8 *bytes, int count, int recordLength);
// The time a whole answer of `length` bytes may take from its first byte: its bytes at the
// line's speed (10 bits each, 9,600 baud when unknown) plus kAnswerMarginMs.
int AnswerDeadlineMs(int length, int baud);
// The 3.5-character gap at this speed in whole milliseconds (rounded up; 1.75 ms above
// 19,200 baud, and 19,200 baud assumed when unknown).
int InterFrameGapMs(int baud);
// The pause between two requests of a poll: 50 ms, or the inter-frame gap with fast framing.
void PauseBetweenRequests(SerialPort &port, LinkClock &clock);

// Functions 3 and 4: on 1 the first byteCount data bytes of the answer (registers high
// byte first) are in destination; otherwise destination is untouched. An answer shorter
// than the requested data gives kLinkWrongAnswer.
int ReadHoldingRegisters(quint8 address, qint16 firstRegister, int byteCount, SerialPort &port, int waitMs,
    quint8 *destination, quint8 lineState, LinkClock &clock = SystemLinkClock());
int ReadInputRegisters(quint8 address, qint16 firstRegister, int byteCount, SerialPort &port, int waitMs,
    quint8 *destination, quint8 lineState, LinkClock &clock = SystemLinkClock());

// Every transaction drops a whole answer (correct CRC) whose address byte is not the one
// asked, reports it through the port and keeps listening within the wait.

// Functions 0x41 and 0x11: on 1 the whole answer frame is in answer for the decoders.
// recordLength: the record size the caller's layout expects (for fast framing), 0 if unknown.
int ArchiveRequest(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs, quint8 lineState,
    AnswerFrame *answer, LinkClock &clock = SystemLinkClock(), int recordLength = 0);
int IdentificationRequest(quint8 address, SerialPort &port, int waitMs, quint8 lineState, AnswerFrame *answer,
    LinkClock &clock = SystemLinkClock());

} // namespace qst
