#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace qst {

// One calculator of a shared line; version 0 takes the line's --calc.
struct SimBusMember
{
    quint16 serial = 0;
    quint8 address = 0;
    int version = 0;
};

// Reads "SERIAL@ADDRESS[:VERSION],...". Addresses and serials must differ from one another,
// as on a real line; nothing and a message on any fault.
std::optional<std::vector<SimBusMember>> ParseSimBus(const QString &text, QString *error);

// The seed of one calculator of a bus: SEED × 65536 + SERIAL, modulo 2^63. A lone simulator
// given --serial SERIAL and that number as --seed has the same archives.
quint64 SimBusSeed(quint64 seed, quint16 serial);

} // namespace qst
