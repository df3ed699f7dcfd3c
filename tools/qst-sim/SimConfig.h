#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace qst {

// Archive kinds as the calculator numbers them in function 0x41 and the ring parameters.
enum SimKind {
    SimHourly = 0,
    SimDaily = 1,
    SimMonthly = 2,
    SimJournalKind = 3,
};

// Everything the command line sets; one value object shared by the simulator's parts.
struct SimConfig
{
    int version = 2;
    quint16 serial = 12345;
    quint8 address = 1;
    int baud = 9600;
    int latencyMs = 10;
    quint64 seed = 1;
    qint64 clockOffsetS = 0;
    // Highest slot number c of each ring (archives: c + 1 slots, at most c records; journal: c slots).
    int ringSlots[4] = { 1488, 400, 48, 512 };
    // Records filled back from the start; -1 means the whole capacity.
    int history[3] = { -1, -1, -1 };

    // Faults of the calculator.
    int delayMs = 0;
    int gapMs = 0;
    int gapAt = 0;
    int badCrcEvery = 0;
    int dropEvery = 0;
    int exceptionEvery = 0;
    int exceptionFunction = -1;
    int reportSerial = -1;
    bool emptyArchives = false;
    bool journalWrapped = false;

    // Modem in front of the calculator.
    bool modem = false;
    int connectDelayMs = 1500;
    QStringList busyNumbers;
    QStringList noCarrierNumbers;
    bool modemSilent = false;
    int modemErrorCount = 0;
    bool modemOnly19200 = false;
    bool modemNumeric = false;

    QString tty;
    int tcpResetEvery = 0;
};

} // namespace qst
