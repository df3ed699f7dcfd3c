#include "SimDump.h"

#include "SimCalculator.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QCommandLineParser>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace qst {

namespace {

int Fail(const QString &message)
{
    std::fprintf(stderr, "qst-sim dump: %s\n", message.toLocal8Bit().constData());
    return 2;
}

void PutLe16(QByteArray *bytes, int offset, int value)
{
    (*bytes)[offset] = static_cast<char>(value & 0xFF);
    (*bytes)[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}

QByteArray RegisterBytes(const QVector<quint16> &regs)
{
    QByteArray bytes;
    bytes.reserve(regs.size() * 2);
    for (quint16 r : regs) {
        bytes.append(static_cast<char>(r >> 8));
        bytes.append(static_cast<char>(r & 0xFF));
    }
    return bytes;
}

bool Number(const QCommandLineParser &parser, const char *name, qint64 min, qint64 max, qint64 *out)
{
    const QString text = parser.value(QString::fromLatin1(name));
    if (text.isEmpty())
        return true;
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

int RunDump(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes an archive dump (.arch) of the simulated calculator: header, identification, current-parameter\n"
        "and parameter blocks, then the newest hourly, daily and monthly records and journal entries."));
    parser.addHelpOption();
    const auto option = [&](const char *name, const char *help, const char *def = nullptr) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromUtf8(help), QStringLiteral("N"));
        if (def)
            o.setDefaultValue(QString::fromLatin1(def));
        parser.addOption(o);
    };
    option("version", "Calculator version, 1 or 2.", "2");
    option("serial", "Serial number, 0..65535.", "12345");
    option("days", "Days of records: days x 24 hourly records up to the last full hour, days daily records up to\n"
                   "yesterday.", "31");
    option("months", "Monthly records (default: the months the days reach into, without the current one).");
    option("journal", "Journal entries.", "100");
    option("snapshot", "The identification block's snapshot flag, 0 or 1 (default: 1 for version 2).");
    option("seed", "Seed of the generated data.", "1");
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The dump file to write."));
    if (!parser.parse(QStringList{QStringLiteral("qst-sim dump")} + args))
        return Fail(parser.errorText().chopped(parser.errorText().endsWith(u'.') ? 1 : 0) +
                    QStringLiteral(" (see qst-sim dump --help)"));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return Fail(QStringLiteral("give exactly one FILE"));
    qint64 version = 2, serial = 12345, days = 31, months = -1, journal = 100, snapshot = -1, seed = 1;
    if (!Number(parser, "version", 1, 2, &version) || !Number(parser, "serial", 0, 65535, &serial) ||
        !Number(parser, "days", 0, 8000, &days) || !Number(parser, "months", 0, 260, &months) ||
        !Number(parser, "journal", 0, 65535, &journal) || !Number(parser, "snapshot", 0, 1, &snapshot) ||
        !Number(parser, "seed", 0, std::numeric_limits<qint64>::max(), &seed))
        return Fail(QStringLiteral("a number is out of its range (see --help)"));
    if (days * 24 > 65535)
        return Fail(QStringLiteral("--days: a dump holds at most 65535 hourly records"));

    SimConfig config;
    config.version = static_cast<int>(version);
    config.serial = static_cast<quint16>(serial);
    config.seed = static_cast<quint64>(seed);
    SimCalculator probe(config);
    const QDateTime now = probe.Now();
    const qint64 newestDay = SimArchive::NewestKey(SimDaily, now);
    const qint64 newestMonth = SimArchive::NewestKey(SimMonthly, now);
    if (months < 0) {
        const qint64 firstMonth = SimArchive::MonthKey(QDate::fromJulianDay(newestDay - days + 1));
        months = days == 0 ? 0 : std::max<qint64>(0, newestMonth - firstMonth + 1);
    }
    // The archives reach back as far as the dump does.
    config.history[SimHourly] = static_cast<int>(days * 24);
    config.history[SimDaily] = static_cast<int>(days);
    config.history[SimMonthly] = static_cast<int>(months);
    for (int kind = 0; kind < 3; ++kind)
        config.ringSlots[kind] = std::max(config.ringSlots[kind], config.history[kind] + 1);
    SimCalculator calculator(config);

    QByteArray id = calculator.IdentificationData();
    if (snapshot >= 0)
        id[7] = static_cast<char>(snapshot);
    const QByteArray current = RegisterBytes(calculator.InputRegisters(now));
    const QByteArray params = RegisterBytes(calculator.HoldingRegisters(now));
    const bool v2 = version == 2;
    const int hourlySize = v2 ? 108 : 86;
    const int longSize = v2 ? 210 : 86;
    const std::vector<QByteArray> entries = calculator.JournalEntries(static_cast<int>(journal), now);

    QByteArray header(27, '\0');
    PutLe16(&header, 5, static_cast<int>(id.size()));
    PutLe16(&header, 7, static_cast<int>(current.size()));
    PutLe16(&header, 9, static_cast<int>(params.size()));
    PutLe16(&header, 11, hourlySize);
    PutLe16(&header, 13, static_cast<int>(days * 24));
    PutLe16(&header, 15, longSize);
    PutLe16(&header, 17, static_cast<int>(days));
    PutLe16(&header, 19, longSize);
    PutLe16(&header, 21, static_cast<int>(months));
    PutLe16(&header, 23, 16);
    PutLe16(&header, 25, static_cast<int>(entries.size()));

    QByteArray out = header + id + current + params;
    const qint64 newestHour = SimArchive::NewestKey(SimHourly, now);
    for (qint64 key = newestHour - days * 24 + 1; key <= newestHour; ++key)
        out += calculator.EncodeRecord(SimHourly, key);
    for (qint64 key = newestDay - days + 1; key <= newestDay; ++key)
        out += calculator.EncodeRecord(SimDaily, key);
    for (qint64 key = newestMonth - months + 1; key <= newestMonth; ++key)
        out += calculator.EncodeRecord(SimMonthly, key);
    for (const QByteArray &entry : entries)
        out += entry;
    try {
        SaveFileBytes(files.first(), out);
    } catch (const StorageError &e) {
        return Fail(e.message());
    }
    return 0;
}

} // namespace qst
