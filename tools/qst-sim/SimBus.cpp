#include "SimBus.h"

#include <QStringList>

#include <set>

namespace qst {

namespace {

// Decimal only: serials and addresses are written so everywhere else.
bool Decimal(const QString &text, int min, int max, int *out)
{
    if (text.isEmpty() || text.size() > 6)
        return false;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    const int v = text.toInt();
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

std::optional<std::vector<SimBusMember>> ParseSimBus(const QString &text, QString *error)
{
    std::vector<SimBusMember> members;
    std::set<int> addresses;
    std::set<int> serials;
    const QStringList entries = text.split(u',');
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        auto fail = [&](const QString &why) {
            *error = QStringLiteral("--bus entry \"%1\": %2").arg(entry, why);
            return std::nullopt;
        };
        const qsizetype at = entry.indexOf(u'@');
        if (entry.isEmpty() || at < 0)
            return fail(QStringLiteral("not SERIAL@ADDRESS[:VERSION]"));
        const qsizetype colon = entry.indexOf(u':', at);
        const QString serialText = entry.left(at);
        const QString addressText = colon < 0 ? entry.mid(at + 1) : entry.mid(at + 1, colon - at - 1);
        SimBusMember m;
        int v = 0;
        if (!Decimal(serialText, 0, 65535, &v))
            return fail(QStringLiteral("serial \"%1\" is not a number in 0..65535").arg(serialText));
        m.serial = static_cast<quint16>(v);
        if (!Decimal(addressText, 1, 247, &v))
            return fail(QStringLiteral("address \"%1\" is not a number in 1..247").arg(addressText));
        m.address = static_cast<quint8>(v);
        if (colon >= 0) {
            const QString versionText = entry.mid(colon + 1);
            if (!Decimal(versionText, 1, 2, &v))
                return fail(QStringLiteral("version \"%1\" is not 1 or 2").arg(versionText));
            m.version = v;
        }
        if (!addresses.insert(m.address).second)
            return fail(QStringLiteral("address %1 is already taken on this line").arg(m.address));
        // Seeded by serial, two calculators of one serial would hold the same archives.
        if (!serials.insert(m.serial).second)
            return fail(QStringLiteral("serial %1 is already on this line").arg(m.serial));
        members.push_back(m);
    }
    return members;
}

quint64 SimBusSeed(quint64 seed, quint16 serial)
{
    return ((seed << 16) | serial) & 0x7FFF'FFFF'FFFF'FFFFULL;
}

} // namespace qst
