#pragma once

#include <QByteArray>
#include <QDate>
#include <QDirIterator>
#include <QFile>
#include <QList>
#include <QMap>
#include <QString>

#include <cstring>

namespace qst::test {

// Hand-built dump files: a header of little-endian lengths and counts, the three blocks and
// the raw records, each list in file order.
struct DumpBuilder
{
    int version = 2;
    int snapshotFlag = 1;
    quint16 serial = 4321;
    int clock[6] = {21, 3, 15, 12, 30, 0}; // year - 2000, month, day, hour, minute, second
    QList<QByteArray> hourly, daily, monthly, journal;
    // Zero: the version's own record length.
    int hourlySize = 0, longSize = 0, journalSize = 16;
    int idSize = 17, currentSize = 0, paramSize = 0;

    int HourlySize() const { return hourlySize ? hourlySize : (version == 2 ? 108 : 86); }
    int LongSize() const { return longSize ? longSize : (version == 2 ? 210 : 86); }
    int CurrentSize() const { return currentSize ? currentSize : (version == 2 ? 272 : 240); }
    int ParamSize() const { return paramSize ? paramSize : (version == 2 ? 206 : 186); }

    static void Le16(QByteArray &b, int at, int v)
    {
        b[at] = static_cast<char>(v & 0xFF);
        b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    static void Be16(QByteArray &b, int at, int v)
    {
        b[at] = static_cast<char>((v >> 8) & 0xFF);
        b[at + 1] = static_cast<char>(v & 0xFF);
    }

    // A record of the builder's version: date bytes, Q1 and, for long version-2 records,
    // the first total.
    QByteArray Record(int kind, int y, int mo, int d, int h, float q1) const
    {
        QByteArray r(kind == 0 ? HourlySize() : LongSize(), '\0');
        const quint8 date[4] = {static_cast<quint8>(y - 2000), static_cast<quint8>(mo), static_cast<quint8>(d),
                                static_cast<quint8>(h)};
        std::memcpy(r.data(), date, std::min<qsizetype>(4, r.size()));
        if (r.size() >= 8)
            std::memcpy(r.data() + 4, &q1, 4);
        if (r.size() >= 114) {
            const float total = q1 * 100;
            std::memcpy(r.data() + 110, &total, 4);
        }
        if (r.size() > 68)
            r[68] = static_cast<char>(200);
        return r;
    }
    void Hour(int y, int mo, int d, int h, float q1) { hourly.append(Record(0, y, mo, d, h, q1)); }
    void Day(int y, int mo, int d, float q1) { daily.append(Record(1, y, mo, d, 7, q1)); }
    void Month(int y, int mo, float q1) { monthly.append(Record(2, y, mo, 17, 7, q1)); }
    // A scheme change ("Схема ТС1" in version 1, "Схема ТС2" in version 2).
    void Event(int y, int mo, int d, int h, int mi, int s, int newScheme)
    {
        QByteArray e(16, '\0');
        const int param = version == 2 ? 22 : 21;
        const quint8 head[8] = {static_cast<quint8>(y - 2000), static_cast<quint8>(mo), static_cast<quint8>(d),
                                static_cast<quint8>(h), static_cast<quint8>(mi), static_cast<quint8>(s),
                                static_cast<quint8>(param), static_cast<quint8>(2 << 4)};
        std::memcpy(e.data(), head, 8);
        e[12] = static_cast<char>(newScheme);
        journal.append(e);
    }

    QByteArray Bytes() const
    {
        QByteArray header(27, '\0');
        Le16(header, 5, idSize);
        Le16(header, 7, CurrentSize());
        Le16(header, 9, ParamSize());
        Le16(header, 11, HourlySize());
        Le16(header, 13, static_cast<int>(hourly.size()));
        Le16(header, 15, LongSize());
        Le16(header, 17, static_cast<int>(daily.size()));
        Le16(header, 19, LongSize());
        Le16(header, 21, static_cast<int>(monthly.size()));
        Le16(header, 23, journalSize);
        Le16(header, 25, static_cast<int>(journal.size()));

        QByteArray id(idSize, '\0');
        if (idSize > 7) {
            id[6] = static_cast<char>(version);
            id[7] = static_cast<char>(snapshotFlag);
        }
        QByteArray current(CurrentSize(), '\0');
        if (current.size() >= 38)
            Be16(current, 36, 6543); // T11 = 65.43
        QByteArray params(ParamSize(), '\0');
        for (int i = 0; i < 6 && 2 * i + 1 < params.size(); ++i)
            Be16(params, 2 * i, clock[i]);
        if (params.size() >= 18)
            Be16(params, 16, serial);

        QByteArray all = header + id + current + params;
        for (const QList<QByteArray> *list : {&hourly, &daily, &monthly, &journal})
            for (const QByteArray &r : *list)
                all += r;
        return all;
    }
};

// Every file under a folder (relative path -> bytes), to compare two data roots.
inline QMap<QString, QByteArray> FolderContents(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            files.insert(path.mid(root.size()), f.readAll());
    }
    return files;
}

} // namespace qst::test
