#include "SimBus.h"
#include "SimCalculator.h"
#include "SimConfig.h"
#include "SimDump.h"
#include "SimLine.h"
#include "SimModem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <array>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

using namespace qst;

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

// Splits the incoming byte stream into requests: by their known lengths, by silence for
// anything else. Garbage in front of a frame is shed one byte at a time.
class RequestFramer
{
public:
    void Push(const QByteArray &bytes, qint64 nowMs)
    {
        if (bytes.isEmpty())
            return;
        m_buffer.append(bytes);
        m_lastByteMs = nowMs;
    }

    void Clear() { m_buffer.clear(); }
    // No request starts with "+++" (0x2B is no function code), so there it is the modem's escape.
    bool StartsWithEscape() const { return m_buffer.startsWith("+++"); }
    QByteArray TakeAll()
    {
        const QByteArray all = m_buffer;
        m_buffer.clear();
        return all;
    }

    std::optional<QByteArray> Next(qint64 nowMs)
    {
        const qint64 silence = nowMs - m_lastByteMs;
        while (!m_buffer.isEmpty()) {
            if (m_buffer.size() < 2) {
                if (silence > kStaleMs)
                    m_buffer.clear();
                return std::nullopt;
            }
            const int length = SimRequestLength(static_cast<quint8>(m_buffer[1]));
            if (length > 0 && m_buffer.size() >= length) {
                const QByteArray frame = m_buffer.left(length);
                if (SimCrcOk(frame)) {
                    m_buffer.remove(0, length);
                    return frame;
                }
                m_buffer.remove(0, 1);
                continue;
            }
            if (length == 0) {
                // Unknown function: the frame ends with the line's silence.
                if (silence < kSilenceMs)
                    return std::nullopt;
                if (m_buffer.size() >= 4 && SimCrcOk(m_buffer)) {
                    const QByteArray frame = m_buffer;
                    m_buffer.clear();
                    return frame;
                }
                m_buffer.remove(0, 1);
                continue;
            }
            if (silence > kStaleMs) {
                m_buffer.remove(0, 1);
                continue;
            }
            return std::nullopt;
        }
        return std::nullopt;
    }

private:
    static constexpr qint64 kSilenceMs = 20;
    static constexpr qint64 kStaleMs = 500;
    QByteArray m_buffer;
    qint64 m_lastByteMs = 0;
};

bool ParseInt(const QString &text, qint64 min, qint64 max, qint64 *out)
{
    bool ok = false;
    const qint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toLongLong(&ok, 16)
                                                                               : text.toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

int Fail(const QString &message)
{
    std::fprintf(stderr, "qst-sim: %s\n", message.toLocal8Bit().constData());
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qst-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QST_VERSION_TEXT));

    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1 && args[1] == QLatin1String("dump"))
        return RunDump(args.mid(2));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Answers as a QST heat-energy calculator (version 1 or 2) over Modbus RTU on a new pseudo-terminal,\n"
        "whose path is the first line printed, on --tty PATH, or over TCP with --tcp-listen HOST:PORT (the\n"
        "first line printed is then tcp://HOST:PORT); optionally behind a Hayes modem (--modem).\n"
        "Over TCP one client is served at a time: a second connection is refused (accepted and reset at\n"
        "once), not queued; when the client leaves, the next one is accepted.\n"
        "With --bus several calculators share the line, as on RS-485: each answers only to its own\n"
        "address and keeps silent to the others; the other options apply to each.\n"
        "Serves until SIGINT or SIGTERM.\n"
        "qst-sim dump [OPTIONS] FILE writes an archive dump file instead (see qst-sim dump --help)."));
    parser.addHelpOption();
    parser.addVersionOption();
    auto value = [&](const char *name, const char *help, const char *valueName, const char *def = nullptr) {
        QString text = QString::fromUtf8(help);
        if (def)
            text += QStringLiteral(" Default: %1.").arg(QLatin1String(def));
        QCommandLineOption o(QString::fromLatin1(name), text, QString::fromLatin1(valueName));
        if (def)
            o.setDefaultValue(QString::fromLatin1(def));
        parser.addOption(o);
    };
    auto flag = [&](const char *name, const char *help) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(help)));
    };
    value("calc", "Calculator version, 1 or 2.", "1|2", "2");
    value("serial", "Serial number, 0..65535.", "S", "12345");
    value("address", "Network address, 1..247; other addresses are not answered.", "A", "1");
    value("bus",
          "Several calculators on the line instead of one, e.g. 50001@1,50002@2:1 (VERSION defaults to "
          "--calc). Addresses and serials differ; each calculator is seeded with SEED*65536+SERIAL "
          "(modulo 2^63), so a lone qst-sim given that seed and serial has the same archives.",
          "SERIAL@ADDRESS[:VERSION],...");
    value("baud", "Line speed for pacing the answers, 9600 or 19200.", "BAUD", "9600");
    value("latency-ms", "Device latency before an answer starts.", "N", "10");
    value("seed", "Seed of the generated data; the same seed gives the same archives.", "N", "1");
    value("clock-offset-s", "Shift of the calculator's clock against the machine's, in seconds.", "S", "0");
    value("tty", "Serve on this device instead of a new pseudo-terminal.", "PATH");
    value("tcp-listen",
          "Serve over TCP on this numeric address (IPv6 in brackets), as a serial server or a GPRS modem in "
          "transparent mode would; port 0 takes a free port. Answers are still paced at --baud.",
          "HOST:PORT");
    value("tcp-reset-every", "Fault (TCP): reset the connection in the middle of every N-th answer.", "N", "0");
    value("hourly-slots", "Highest slot number c of the hourly ring (c + 1 slots, up to c records).", "C", "1488");
    value("daily-slots", "Highest slot number c of the daily ring.", "C", "400");
    value("monthly-slots", "Highest slot number c of the monthly ring.", "C", "48");
    value("journal-slots", "Number of journal slots c.", "C", "512");
    value("history-hours", "Hourly records present at start (default: the whole ring).", "N");
    value("history-days", "Daily records present at start (default: the whole ring).", "N");
    value("history-months", "Monthly records present at start (default: the whole ring).", "N");
    value("delay-ms", "Fault: extra delay before every answer.", "N", "0");
    value("gap-ms", "Fault: pause inside every answer, after --gap-at bytes.", "N", "0");
    value("gap-at", "Byte position of the --gap-ms pause.", "K", "3");
    value("bad-crc-every", "Fault: corrupt the CRC of every N-th answer.", "N", "0");
    value("drop-every", "Fault: leave every N-th request unanswered.", "N", "0");
    value("exception-every", "Fault: answer every N-th request with exception 4.", "N", "0");
    value("exception-function", "Fault: answer every request of function F (e.g. 0x41) with exception 4.", "F");
    value("report-serial", "Fault: show this serial number in holding register 8.", "S");
    flag("empty-archives", "Fault: all archive rings and the journal are empty.");
    flag("journal-wrapped", "The journal ring has gone round (older entries overwritten).");
    flag("modem", "Put a Hayes modem in front of the calculator.");
    value("connect-delay-ms", "Modem: time from ATD to its result.", "N", "1500");
    value("busy", "Modem: dialling this number gives BUSY (repeatable).", "NUMBER");
    value("no-carrier", "Modem: dialling this number gives NO CARRIER (repeatable).", "NUMBER");
    flag("modem-silent", "Modem fault: the modem answers nothing.");
    value("modem-error-count", "Modem fault: answer ERROR to the first N commands.", "N", "0");
    flag("modem-only-19200", "Modem fault: answer only while the line is set to 19200 baud.");
    flag("modem-numeric", "Modem: numeric result codes (as after ATV0), kept over ATZ and AT&F.");
    // Usage errors exit 2 with one line, as every program of the suite does (process() would exit 1).
    if (!parser.parse(args))
        return Fail(parser.errorText().chopped(parser.errorText().endsWith(u'.') ? 1 : 0) +
                    QStringLiteral(" (see qst-sim --help)"));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("qst-sim %s\n", QST_VERSION_TEXT);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return Fail(QStringLiteral("unexpected argument %1 (see qst-sim --help)").arg(parser.positionalArguments().first()));

    SimConfig config;
    auto get = [&](const char *name, qint64 min, qint64 max, qint64 *out) {
        const QString text = parser.value(QString::fromLatin1(name));
        if (text.isEmpty())
            return true;
        if (!ParseInt(text, min, max, out)) {
            Fail(QStringLiteral("--%1: %2 is not a number in %3..%4").arg(QLatin1String(name), text).arg(min).arg(max));
            return false;
        }
        return true;
    };
    qint64 v = 0;
    struct Setting
    {
        const char *name;
        qint64 min;
        qint64 max;
        std::function<void(qint64)> apply;
    };
    const Setting settings[] = {
        { "calc", 1, 2, [&](qint64 x) { config.version = static_cast<int>(x); } },
        { "serial", 0, 65535, [&](qint64 x) { config.serial = static_cast<quint16>(x); } },
        { "address", 1, 247, [&](qint64 x) { config.address = static_cast<quint8>(x); } },
        { "baud", 1200, 115200, [&](qint64 x) { config.baud = static_cast<int>(x); } },
        { "latency-ms", 0, 60000, [&](qint64 x) { config.latencyMs = static_cast<int>(x); } },
        { "seed", 0, std::numeric_limits<qint64>::max(), [&](qint64 x) { config.seed = static_cast<quint64>(x); } },
        { "clock-offset-s", -630720000LL, 630720000LL, [&](qint64 x) { config.clockOffsetS = x; } },
        { "hourly-slots", 1, 32766, [&](qint64 x) { config.ringSlots[SimHourly] = static_cast<int>(x); } },
        { "daily-slots", 1, 32766, [&](qint64 x) { config.ringSlots[SimDaily] = static_cast<int>(x); } },
        { "monthly-slots", 1, 32766, [&](qint64 x) { config.ringSlots[SimMonthly] = static_cast<int>(x); } },
        { "journal-slots", 1, 32767, [&](qint64 x) { config.ringSlots[SimJournalKind] = static_cast<int>(x); } },
        { "history-hours", 0, 200000, [&](qint64 x) { config.history[SimHourly] = static_cast<int>(x); } },
        { "history-days", 0, 8000, [&](qint64 x) { config.history[SimDaily] = static_cast<int>(x); } },
        { "history-months", 0, 260, [&](qint64 x) { config.history[SimMonthly] = static_cast<int>(x); } },
        { "delay-ms", 0, 600000, [&](qint64 x) { config.delayMs = static_cast<int>(x); } },
        { "gap-ms", 0, 600000, [&](qint64 x) { config.gapMs = static_cast<int>(x); } },
        { "gap-at", 1, 255, [&](qint64 x) { config.gapAt = static_cast<int>(x); } },
        { "bad-crc-every", 0, 1000000, [&](qint64 x) { config.badCrcEvery = static_cast<int>(x); } },
        { "drop-every", 0, 1000000, [&](qint64 x) { config.dropEvery = static_cast<int>(x); } },
        { "exception-every", 0, 1000000, [&](qint64 x) { config.exceptionEvery = static_cast<int>(x); } },
        { "exception-function", 1, 127, [&](qint64 x) { config.exceptionFunction = static_cast<int>(x); } },
        { "report-serial", 0, 65535, [&](qint64 x) { config.reportSerial = static_cast<int>(x); } },
        { "connect-delay-ms", 0, 600000, [&](qint64 x) { config.connectDelayMs = static_cast<int>(x); } },
        { "modem-error-count", 0, 1000000, [&](qint64 x) { config.modemErrorCount = static_cast<int>(x); } },
        { "tcp-reset-every", 0, 1000000, [&](qint64 x) { config.tcpResetEvery = static_cast<int>(x); } },
    };
    for (const Setting &s : settings) {
        v = -1;
        if (!get(s.name, s.min, s.max, &v))
            return 2;
        if (!parser.value(QString::fromLatin1(s.name)).isEmpty())
            s.apply(v);
    }
    config.emptyArchives = parser.isSet(QStringLiteral("empty-archives"));
    config.journalWrapped = parser.isSet(QStringLiteral("journal-wrapped"));
    config.modem = parser.isSet(QStringLiteral("modem"));
    config.busyNumbers = parser.values(QStringLiteral("busy"));
    config.noCarrierNumbers = parser.values(QStringLiteral("no-carrier"));
    config.modemSilent = parser.isSet(QStringLiteral("modem-silent"));
    config.modemOnly19200 = parser.isSet(QStringLiteral("modem-only-19200"));
    config.modemNumeric = parser.isSet(QStringLiteral("modem-numeric"));
    config.tty = parser.value(QStringLiteral("tty"));
    std::vector<SimConfig> calculators;
    if (parser.isSet(QStringLiteral("bus"))) {
        if (parser.isSet(QStringLiteral("serial")) || parser.isSet(QStringLiteral("address")))
            return Fail(QStringLiteral("--bus excludes --serial and --address (each calculator has its own)"));
        QString error;
        const std::optional<std::vector<SimBusMember>> members
            = ParseSimBus(parser.value(QStringLiteral("bus")), &error);
        if (!members)
            return Fail(error);
        for (const SimBusMember &m : *members) {
            SimConfig c = config;
            c.serial = m.serial;
            c.address = m.address;
            if (m.version != 0)
                c.version = m.version;
            c.seed = SimBusSeed(config.seed, m.serial);
            calculators.push_back(c);
        }
    } else {
        calculators.push_back(config);
    }
    const QString tcpListen = parser.value(QStringLiteral("tcp-listen"));
    if (!tcpListen.isEmpty() && !config.tty.isEmpty())
        return Fail(QStringLiteral("--tty and --tcp-listen exclude each other"));

    SimLine line;
    QString error;
    const bool opened = !tcpListen.isEmpty() ? line.OpenTcpListen(tcpListen, &error)
        : config.tty.isEmpty()               ? line.OpenPty(&error)
                                             : line.OpenDevice(config.tty, config.baud, &error);
    if (!opened)
        return Fail(error);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // Each keeps its own request count, so the fault options count its own requests.
    std::vector<SimCalculator> bus;
    std::array<SimCalculator *, 256> byAddress {};
    bus.reserve(calculators.size());
    for (const SimConfig &c : calculators)
        byAddress[c.address] = &bus.emplace_back(c);
    std::printf("%s\n", line.Path().toLocal8Bit().constData());
    std::fflush(stdout);

    QElapsedTimer clock;
    clock.start();
    std::optional<SimModem> modem;
    if (config.modem)
        modem.emplace(
            config, [&](const QByteArray &bytes) { line.Send(bytes, config.baud, 0, 0); },
            [&] { return line.PeerBaud(); });

    RequestFramer framer;
    int clients = line.ClientCount();
    int answers = 0;
    while (!g_stop) {
        QByteArray in;
        if (!line.Read(&in, 10))
            break;
        if (line.ClientCount() != clients) {
            clients = line.ClientCount();
            framer.Clear(); // what an earlier client left half-sent is no request of this one
        }
        const qint64 now = clock.elapsed();
        if (modem) {
            const QByteArray data = modem->Feed(in, now);
            modem->Tick(clock.elapsed());
            if (!modem->DataMode()) {
                framer.Clear();
                continue;
            }
            framer.Push(data, now);
            if (framer.StartsWithEscape()) {
                modem->Escape(framer.TakeAll().mid(3), now);
                continue;
            }
        } else {
            framer.Push(in, now);
        }
        while (std::optional<QByteArray> request = framer.Next(clock.elapsed())) {
            // A frame for an address nobody has gets no answer at all, as on RS-485.
            SimCalculator *calculator = byAddress[static_cast<quint8>(request->at(0))];
            const std::optional<SimReply> reply = calculator ? calculator->Handle(*request) : std::nullopt;
            if (!reply)
                continue;
            // The request took its wire time to arrive on a real line; here it came at once.
            SimSleepUs((config.latencyMs + config.delayMs) * 1000LL + request->size() * 10000000LL / config.baud);
            if (line.IsTcp() && config.tcpResetEvery > 0 && ++answers % config.tcpResetEvery == 0) {
                line.Send(reply->bytes.left(reply->bytes.size() / 2), config.baud, 0, 0);
                line.ResetClient();
                framer.Clear();
                continue;
            }
            line.Send(reply->bytes, config.baud, config.gapAt, config.gapMs);
        }
    }
    return 0;
}
