#include "SimCalculator.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace qst {

namespace {

constexpr quint8 kIllegalFunction = 1;
constexpr quint8 kIllegalAddress = 2;
constexpr quint8 kIllegalValue = 3;
constexpr quint8 kDeviceFailure = 4;

constexpr int kMaxRegistersPerRead = 125;

void PutBE16(QVector<quint16> &regs, int at, quint16 v)
{
    regs[at] = v;
}

void PutBE32(QVector<quint16> &regs, int at, quint32 v)
{
    regs[at] = static_cast<quint16>(v >> 16);
    regs[at + 1] = static_cast<quint16>(v & 0xFFFF);
}

void PutBEFloat(QVector<quint16> &regs, int at, float f)
{
    quint32 bits = 0;
    std::memcpy(&bits, &f, 4);
    PutBE32(regs, at, bits);
}

quint16 Signed100(double v)
{
    return static_cast<quint16>(static_cast<qint16>(std::lround(v * 100.0)));
}

quint16 Unsigned1000(double v)
{
    return static_cast<quint16>(std::lround(v * 1000.0));
}

quint32 Whole(double v)
{
    return static_cast<quint32>(std::max(0.0, std::floor(v)));
}

// The version-1 calculator keeps three operating and three stop counters; they are the
// sums of the second version's fourteen.
void V1Counters(const double c[14], double out[6])
{
    out[0] = c[0];
    out[1] = c[1] + c[2] + c[3] + c[4] + c[5];
    out[2] = c[6];
    out[3] = c[7] + c[8] + c[9] + c[10] + c[11];
    out[4] = c[12];
    out[5] = c[13];
}

} // namespace

quint16 SimCrc16(const char *data, int length)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= static_cast<quint8>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

void SimAppendCrc(QByteArray *frame)
{
    const quint16 crc = SimCrc16(frame->constData(), static_cast<int>(frame->size()));
    frame->append(static_cast<char>(crc & 0xFF));
    frame->append(static_cast<char>(crc >> 8));
}

bool SimCrcOk(const QByteArray &frame)
{
    if (frame.size() < 3)
        return false;
    const int n = static_cast<int>(frame.size()) - 2;
    const quint16 crc = SimCrc16(frame.constData(), n);
    return static_cast<quint8>(frame[n]) == (crc & 0xFF) && static_cast<quint8>(frame[n + 1]) == (crc >> 8);
}

int SimRequestLength(quint8 function)
{
    switch (function) {
    case 0x03:
    case 0x04:
        return 8;
    case 0x41:
        return 9;
    case 0x11:
        return 4;
    default:
        return 0;
    }
}

SimCalculator::SimCalculator(const SimConfig &config)
    : m_config(config)
    , m_archive(config, QDateTime::currentDateTime().addSecs(config.clockOffsetS))
    , m_journal(config, QDateTime::currentDateTime().addSecs(config.clockOffsetS))
{
}

QDateTime SimCalculator::Now() const
{
    const QDateTime t = QDateTime::currentDateTime().addSecs(m_config.clockOffsetS);
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute(), t.time().second()));
}

std::optional<SimReply> SimCalculator::Handle(const QByteArray &request)
{
    if (request.size() < 4 || !SimCrcOk(request))
        return std::nullopt;
    if (static_cast<quint8>(request[0]) != m_config.address)
        return std::nullopt;
    ++m_requests;
    if (m_config.dropEvery > 0 && m_requests % static_cast<quint64>(m_config.dropEvery) == 0)
        return std::nullopt;

    const quint8 function = static_cast<quint8>(request[1]);
    QByteArray answer;
    if ((m_config.exceptionEvery > 0 && m_requests % static_cast<quint64>(m_config.exceptionEvery) == 0)
        || m_config.exceptionFunction == function)
        answer = Exception(function, kDeviceFailure);
    else
        answer = Answer(request, Now());
    if (m_config.badCrcEvery > 0 && m_requests % static_cast<quint64>(m_config.badCrcEvery) == 0)
        answer[answer.size() - 1] = static_cast<char>(answer[answer.size() - 1] ^ 0x5A);
    return SimReply { answer };
}

QByteArray SimCalculator::Exception(quint8 function, quint8 code) const
{
    QByteArray frame;
    frame.append(static_cast<char>(m_config.address));
    frame.append(static_cast<char>(function | 0x80));
    frame.append(static_cast<char>(code));
    SimAppendCrc(&frame);
    return frame;
}

QByteArray SimCalculator::Answer(const QByteArray &request, const QDateTime &now)
{
    const quint8 function = static_cast<quint8>(request[1]);
    if (SimRequestLength(function) != request.size())
        return Exception(function, kIllegalFunction);

    QByteArray frame;
    frame.append(static_cast<char>(m_config.address));
    frame.append(static_cast<char>(function));

    if (function == 0x03 || function == 0x04) {
        const int first = (static_cast<quint8>(request[2]) << 8) | static_cast<quint8>(request[3]);
        const int count = (static_cast<quint8>(request[4]) << 8) | static_cast<quint8>(request[5]);
        if (count < 1 || count > kMaxRegistersPerRead)
            return Exception(function, kIllegalValue);
        const QVector<quint16> regs = function == 0x03 ? HoldingRegisters(now) : InputRegisters(now);
        if (first + count > regs.size())
            return Exception(function, kIllegalAddress);
        frame.append(static_cast<char>(count * 2));
        for (int r = first; r < first + count; ++r) {
            frame.append(static_cast<char>(regs[r] >> 8));
            frame.append(static_cast<char>(regs[r] & 0xFF));
        }
    } else if (function == 0x41) {
        const int kind = static_cast<quint8>(request[2]);
        const int index = static_cast<quint8>(request[4]) | (static_cast<quint8>(request[5]) << 8);
        const int records = static_cast<quint8>(request[6]);
        if (kind > SimJournalKind || records != 1 || request[3] != 0)
            return Exception(function, kIllegalValue);
        // Archive rings have c + 1 slots, the journal c.
        const int slotCount = kind == SimJournalKind ? m_config.ringSlots[kind] : m_config.ringSlots[kind] + 1;
        if (index >= slotCount)
            return Exception(function, kIllegalAddress);
        frame.append(request.mid(2, 4));
        frame.append(static_cast<char>(1));
        frame.append(kind == SimJournalKind ? m_journal.Entry(index, now) : ArchiveRecord(kind, index, now));
    } else if (function == 0x11) {
        const QByteArray data = IdentificationData();
        frame.append(static_cast<char>(data.size()));
        frame.append(data);
    } else {
        return Exception(function, kIllegalFunction);
    }
    SimAppendCrc(&frame);
    return frame;
}

QByteArray SimCalculator::IdentificationData() const
{
    // Answer bytes from 3 on: slave id, run indicator, serial (2), firmware (2), version,
    // snapshot flag, the device type as text.
    QByteArray data;
    data.append(static_cast<char>(0x51));
    data.append(static_cast<char>(0xFF));
    data.append(static_cast<char>(m_config.serial >> 8));
    data.append(static_cast<char>(m_config.serial & 0xFF));
    data.append(static_cast<char>(m_config.version));
    data.append(static_cast<char>(0x00));
    data.append(static_cast<char>(m_config.version));
    data.append(static_cast<char>(m_config.version >= 2 ? 1 : 0));
    data.append(m_config.version >= 2 ? "QST-5.4.4" : "QST-5.4");
    return data;
}

QVector<quint16> SimCalculator::HoldingRegisters(const QDateTime &now)
{
    QVector<quint16> regs(m_config.version >= 2 ? 103 : 93, 0);
    PutBE16(regs, 0, static_cast<quint16>(now.date().year() - 2000));
    PutBE16(regs, 1, static_cast<quint16>(now.date().month()));
    PutBE16(regs, 2, static_cast<quint16>(now.date().day()));
    PutBE16(regs, 3, static_cast<quint16>(now.time().hour()));
    PutBE16(regs, 4, static_cast<quint16>(now.time().minute()));
    PutBE16(regs, 5, static_cast<quint16>(now.time().second()));
    PutBE16(regs, 8, static_cast<quint16>(m_config.reportSerial >= 0 ? m_config.reportSerial : m_config.serial));
    PutBE16(regs, 10, m_config.address);
    PutBE16(regs, 16, 0); // ОТОПЛ_1
    PutBE16(regs, 17, 5); // ЦИРК_ГВС
    PutBE16(regs, 26, 1500);
    PutBE16(regs, 27, 500);
    SimInterval hour;
    m_archive.TotalsAt(now, &hour);
    for (int i = 0; i < 5; ++i)
        PutBE16(regs, 28 + i, m_config.version >= 2 ? hour.NS[i] : static_cast<quint16>(hour.NS[i] & 0xFF));
    PutBEFloat(regs, 84, 2.5f);
    PutBEFloat(regs, 88, 0.8f);
    if (m_config.version >= 2) {
        PutBEFloat(regs, 94, 45.0f);
        PutBEFloat(regs, 98, 18.0f);
    }
    return regs;
}

QVector<quint16> SimCalculator::InputRegisters(const QDateTime &now)
{
    QVector<quint16> regs(m_config.version >= 2 ? 136 : 120, 0);
    for (int kind = 0; kind < 3; ++kind) {
        const SimRingState ring = m_archive.Ring(kind, now);
        PutBE16(regs, 6 + 3 * kind, static_cast<quint16>(ring.c));
        PutBE16(regs, 7 + 3 * kind, static_cast<quint16>(ring.b));
        PutBE16(regs, 8 + 3 * kind, static_cast<quint16>(ring.a));
    }
    const SimJournalRing journal = m_journal.Ring(now);
    PutBE16(regs, 15, static_cast<quint16>(journal.c));
    PutBE16(regs, 16, static_cast<quint16>(journal.b));
    PutBE16(regs, 17, static_cast<quint16>(journal.a));

    SimInterval hour;
    const SimTotals totals = m_archive.TotalsAt(now, &hour);
    const double fraction = (now.time().minute() * 60 + now.time().second()) / 3600.0;
    PutBE16(regs, 18, Signed100(hour.F[11]));
    PutBE16(regs, 19, Signed100(hour.F[12]));
    PutBE16(regs, 20, Signed100(hour.F[13]));
    PutBE16(regs, 21, Signed100(hour.F[14]));
    PutBE16(regs, 22, static_cast<quint16>(static_cast<qint16>(hour.F[19]))); // cold water
    PutBE16(regs, 23, Signed100(m_archive.OutdoorTemperature(SimArchive::HourKey(now)))); // outdoor air
    for (int i = 0; i < 4; ++i)
        PutBE16(regs, 24 + i, Unsigned1000(hour.F[15 + i]));
    for (int i = 0; i < 11; ++i) {
        const quint32 whole = Whole(totals.D[i]);
        PutBE32(regs, 42 + 4 * i, whole);
        PutBEFloat(regs, 44 + 4 * i, static_cast<float>(totals.D[i] - whole));
    }
    // Rates: the hour's amounts per operating hour, wavering a little from second to second.
    const double waver = 1.0 + 0.01 * std::sin(fraction * 6.283185307 * 7.0);
    const double run1 = hour.c[0] > 0 ? 60.0 / hour.c[0] : 0;
    const double run2 = hour.c[6] > 0 ? 60.0 / hour.c[6] : 0;
    const double run3 = hour.c[12] > 0 ? 60.0 / hour.c[12] : 0;
    const double rates[11] = { hour.F[0] * run1, hour.F[1] * run2, hour.F[2] * run1, hour.F[3] * run1, hour.F[4] * run2,
        hour.F[5] * run2, hour.F[6] * run1, hour.F[7] * run1, hour.F[8] * run2, hour.F[9] * run2, hour.F[10] * run3 };
    for (int i = 0; i < 11; ++i)
        PutBEFloat(regs, 86 + 2 * i, static_cast<float>(rates[i] * waver));
    if (m_config.version >= 2) {
        for (int i = 0; i < 14; ++i)
            PutBE32(regs, 108 + 2 * i, Whole(totals.c[i]));
    } else {
        double v1[6];
        V1Counters(totals.c, v1);
        for (int i = 0; i < 6; ++i)
            PutBE32(regs, 108 + 2 * i, Whole(v1[i]));
    }
    return regs;
}

QByteArray SimCalculator::ArchiveRecord(int kind, int slot, const QDateTime &now)
{
    const std::optional<qint64> key = m_archive.KeyAtSlot(kind, slot, now);
    if (!key)
        return QByteArray(m_config.version >= 2 ? (kind == SimHourly ? 108 : 210) : 86, char(0xFF));
    return EncodeRecord(kind, *key);
}

std::vector<QByteArray> SimCalculator::JournalEntries(int n, const QDateTime &now) const
{
    return m_journal.NewestEntries(n, now);
}

QByteArray SimCalculator::EncodeRecord(int kind, qint64 key)
{
    const bool v2 = m_config.version >= 2;
    const bool snapshot = v2 && kind != SimHourly;
    QByteArray r(v2 ? (snapshot ? 210 : 108) : 86, '\0');
    char *p = r.data();

    QDate date;
    int hour = 0;
    if (kind == SimHourly) {
        date = QDate::fromJulianDay(key / 24);
        hour = static_cast<int>(key % 24);
    } else if (kind == SimDaily) {
        date = QDate::fromJulianDay(key);
    } else {
        date = SimArchive::MonthStart(key);
    }
    p[0] = static_cast<char>(date.year() - 2000);
    p[1] = static_cast<char>(date.month());
    p[2] = static_cast<char>(date.day());
    p[3] = static_cast<char>(hour);

    const SimInterval v = m_archive.Interval(kind, key);
    for (int i = 0; i < 11; ++i)
        qToLittleEndian<float>(static_cast<float>(v.F[i]), p + 4 + 4 * i);
    for (int i = 0; i < 4; ++i) {
        qToLittleEndian<quint16>(Signed100(v.Average(11 + i)), p + 48 + 2 * i);
        qToLittleEndian<quint16>(Unsigned1000(v.Average(15 + i)), p + 56 + 2 * i);
    }
    qToLittleEndian<qint16>(static_cast<qint16>(std::lround(v.Average(19))), p + 64);
    qToLittleEndian<quint16>(static_cast<quint16>(std::lround(v.Average(20))), p + 66);
    p[68] = static_cast<char>(v.status);
    if (!v2) {
        for (int i = 0; i < 5; ++i)
            p[69 + i] = static_cast<char>(v.NS[i] & 0xFF);
        double counters[6];
        V1Counters(v.c, counters);
        for (int i = 0; i < 6; ++i)
            qToLittleEndian<quint16>(static_cast<quint16>(counters[i]), p + 74 + 2 * i);
        return r;
    }
    for (int i = 0; i < 5; ++i)
        qToLittleEndian<quint16>(v.NS[i], p + 70 + 2 * i);
    for (int i = 0; i < 14; ++i)
        qToLittleEndian<quint16>(static_cast<quint16>(v.c[i]), p + 80 + 2 * i);
    if (snapshot) {
        const SimTotals t = m_archive.TotalsAtEnd(kind, key);
        for (int i = 0; i < 11; ++i)
            qToLittleEndian<float>(static_cast<float>(t.D[i]), p + 110 + 4 * i);
        for (int i = 0; i < 14; ++i)
            qToLittleEndian<quint32>(Whole(t.c[i]), p + 154 + 4 * i);
    }
    return r;
}

} // namespace qst
