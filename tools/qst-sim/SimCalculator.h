#pragma once

#include "SimArchive.h"
#include "SimConfig.h"
#include "SimJournal.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>

#include <optional>
#include <vector>

namespace qst {

quint16 SimCrc16(const char *data, int length);
// Appends the CRC, low-order byte first as it goes on the line.
void SimAppendCrc(QByteArray *frame);
bool SimCrcOk(const QByteArray &frame);

// Length of a request from its function code, 0 when the function is unknown.
int SimRequestLength(quint8 function);

struct SimReply
{
    QByteArray bytes;
};

// The calculator: register images, record encoding, the answer to each request and the
// calculator's own faults (dropped answers, bad CRCs, exceptions).
class SimCalculator
{
public:
    explicit SimCalculator(const SimConfig &config);

    // The answer to one complete request frame; nothing when the calculator keeps silent.
    std::optional<SimReply> Handle(const QByteArray &request);

    QDateTime Now() const;

    QVector<quint16> HoldingRegisters(const QDateTime &now);
    QVector<quint16> InputRegisters(const QDateTime &now);
    // Record bytes (from record byte 0) of an archive slot, 0xFF throughout for an empty one.
    QByteArray ArchiveRecord(int kind, int slot, const QDateTime &now);
    QByteArray IdentificationData() const;
    // Record bytes of the interval with the given key (see SimArchive), as a slot holds them.
    QByteArray EncodeRecord(int kind, qint64 key);
    // The newest n journal entries up to now, oldest first.
    std::vector<QByteArray> JournalEntries(int n, const QDateTime &now) const;

private:
    QByteArray Answer(const QByteArray &request, const QDateTime &now);
    QByteArray Exception(quint8 function, quint8 code) const;

    SimConfig m_config;
    SimArchive m_archive;
    SimJournal m_journal;
    quint64 m_requests = 0;
};

} // namespace qst
