#pragma once

#include "link/ModbusRtu.h"

#include <QByteArray>

#include <bit>
#include <cstring>
#include <initializer_list>

namespace qst::test {

// Byte blocks laid out by the register and record tables, for decoder and reader tests.

inline QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(static_cast<char>(v));
    return b;
}

inline const quint8 *Data(const QByteArray &b)
{
    return reinterpret_cast<const quint8 *>(b.constData());
}

inline QByteArray WithCrc(QByteArray frame)
{
    const quint16 crc = Crc16(Data(frame), static_cast<int>(frame.size()));
    frame.append(static_cast<char>(crc >> 8));
    frame.append(static_cast<char>(crc & 0xFF));
    return frame;
}

// Registers: 16-bit high byte first, 32-bit high half first, reals sign byte first.
inline void PutRegU16(QByteArray &block, int reg, quint16 v)
{
    block[2 * reg] = static_cast<char>(v >> 8);
    block[2 * reg + 1] = static_cast<char>(v & 0xFF);
}

inline void PutRegU32(QByteArray &block, int reg, quint32 v)
{
    PutRegU16(block, reg, static_cast<quint16>(v >> 16));
    PutRegU16(block, reg + 1, static_cast<quint16>(v & 0xFFFF));
}

inline void PutRegReal(QByteArray &block, int reg, float v)
{
    PutRegU32(block, reg, std::bit_cast<quint32>(v));
}

// Records: little-endian.
inline void PutRecU16(QByteArray &record, int offset, quint16 v)
{
    record[offset] = static_cast<char>(v & 0xFF);
    record[offset + 1] = static_cast<char>(v >> 8);
}

inline void PutRecU32(QByteArray &record, int offset, quint32 v)
{
    PutRecU16(record, offset, static_cast<quint16>(v & 0xFFFF));
    PutRecU16(record, offset + 2, static_cast<quint16>(v >> 16));
}

inline void PutRecReal(QByteArray &record, int offset, float v)
{
    PutRecU32(record, offset, std::bit_cast<quint32>(v));
}

// A function 3/4 answer carrying block.
inline QByteArray RegisterAnswer(quint8 address, quint8 function, const QByteArray &block)
{
    QByteArray f;
    f.append(static_cast<char>(address));
    f.append(static_cast<char>(function));
    f.append(static_cast<char>(block.size()));
    f.append(block);
    return WithCrc(f);
}

// A function 0x41 answer: seven header bytes (byte 6 the record count), then the record.
inline QByteArray RecordAnswer(quint8 address, int kind, const QByteArray &record, int recordCount = 1)
{
    QByteArray f = Bytes({ address, 0x41, kind, 0x00, 0x00, 0x00, recordCount });
    f.append(record);
    return WithCrc(f);
}

} // namespace qst::test
