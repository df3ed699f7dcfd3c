#include "CliCommand.h"
#include "CliReplication.h"
#include "CliSupport.h"

#include "web/WebServer.h"

#include "common/DataRoot.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "registry/Registry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace qst::cli {

namespace {

// Log lines on standard output, "[Порт: N] [date time] text"; remembers whether any line
// reported a failure.
class StdoutLog final : public LogSink
{
public:
    void WriteLogLine(int port, const QString &line) override
    {
        PrintLine(stdout, QStringLiteral("[Порт: %1] ").arg(port) + line);
        std::fflush(stdout);
        static const QStringList failures = {
            QStringLiteral("Не удалось"), QStringLiteral("Невозможно"),
            QStringLiteral("Серийный номер подключенного прибора"), QStringLiteral("Модем не отвечает"),
            QStringLiteral("Соединение не установлено")};
        const qsizetype text = line.indexOf(QStringLiteral("] "));
        const QString body = text < 0 ? line : line.mid(text + 2);
        for (const QString &f : failures) {
            if (body.startsWith(f))
                m_failed = true;
        }
    }
    bool failed() const { return m_failed; }

private:
    bool m_failed = false;
};


} // namespace

int RunPoll(const CliContext &context)
{
    const QStringList &a = context.args;
    QString serialText;
    bool current = false, reread = false;
    struct Period
    {
        bool wanted = false;
        QDateTime from, to;
    } hourly, daily, monthly;
    int journal = -1;
    int timeout = 600;
    bool fillGaps = false;
    int gapDays = 0;
    for (qsizetype i = 1; i < a.size(); ++i) {
        const QString o = a[i];
        auto period = [&](Period &p) {
            if (i + 2 >= a.size())
                return false;
            p.wanted = true;
            p.from = ParseIsoLocal(a[++i], false);
            p.to = ParseIsoLocal(a[++i], false);
            return p.from.isValid() && p.to.isValid();
        };
        bool ok = true;
        if (o == QStringLiteral("--serial") && i + 1 < a.size())
            serialText = a[++i];
        else if (o == QStringLiteral("--current"))
            current = true;
        else if (o == QStringLiteral("--reread"))
            reread = true;
        else if (o == QStringLiteral("--hourly"))
            ok = period(hourly);
        else if (o == QStringLiteral("--daily"))
            ok = period(daily);
        else if (o == QStringLiteral("--monthly"))
            ok = period(monthly);
        else if (o == QStringLiteral("--journal") && i + 1 < a.size())
            journal = a[++i].toInt(&ok);
        else if (o == QStringLiteral("--fill-gaps"))
            fillGaps = true;
        else if (o == QStringLiteral("--days") && i + 1 < a.size())
            ok = (gapDays = a[++i].toInt(&ok)) > 0 && ok;
        else if (o == QStringLiteral("--timeout") && i + 1 < a.size())
            timeout = a[++i].toInt(&ok);
        else
            return UsageError(QStringLiteral("poll: unknown or incomplete option %1 (see qst-cli --help)").arg(o));
        if (!ok)
            return UsageError(QStringLiteral("poll: bad value after %1 (dates are ISO 8601: 2026-12-01T10:20 or 2026-12-01)")
                             .arg(o));
    }
    bool serialOk = false;
    const int serial = serialText.trimmed().toInt(&serialOk);
    if (!serialOk)
        return UsageError(QStringLiteral("poll: --serial S is required"));
    if (!current && !hourly.wanted && !daily.wanted && !monthly.wanted && journal < 0 && !fillGaps)
        return UsageError(
            QStringLiteral("poll: nothing to read (--current, --hourly, --daily, --monthly, --journal, --fill-gaps)"));
    if (gapDays > 0 && !fillGaps)
        return UsageError(QStringLiteral("poll: --days N goes with --fill-gaps"));
    if (journal < 0 && a.contains(QStringLiteral("--journal")))
        return UsageError(QStringLiteral("poll: --journal COUNT is 0 or more"));

    Registry registry(TreeIniPath(context.dataRoot));
    if (registry.FindMeterBySerialInt(serial) == 0)
        return UsageError(QStringLiteral("poll: no meter with serial %1 is registered (qst-cli meter add ...)").arg(serial));

    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;

    StdoutLog log;
    CliReplication replication(context.dataRoot);
    ExchangeEngine engine({context.dataRoot, &registry, &log, nullptr, {}});
    // The requests the read buttons make, in their order.
    QStringList refusals;
    if (current)
        engine.ReadCurrentValues(serial);
    if (hourly.wanted)
        refusals << engine.ReadHourly(serial, hourly.from, hourly.to, reread);
    if (daily.wanted)
        refusals << engine.ReadDaily(serial, daily.from.date(), daily.to.date(), reread);
    if (monthly.wanted)
        refusals << engine.ReadMonthly(serial, monthly.from.date(), monthly.to.date(), reread);
    if (journal >= 0)
        engine.ReadJournal(serial, journal);
    if (fillGaps) {
        const int queued = engine.FillGaps(serial, gapDays);
        PrintLine(stdout, QStringLiteral("poll: %1 requests for missing records queued").arg(queued));
    }
    refusals.removeAll(QString());
    if (!refusals.isEmpty()) {
        PrintLine(stderr, refusals.first());
        return kExitUsage;
    }
    if (engine.queue().Size() == 0) {
        PrintLine(stderr, QStringLiteral("poll: nothing was queued (an empty period?)"));
        return kExitUsage;
    }

    bool timedOut = false;
    bool interrupted = false;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer supervisor;
    QObject::connect(&supervisor, &QTimer::timeout, [&] {
        if (!timedOut && !interrupted && timeout > 0 && elapsed.elapsed() > qint64(timeout) * 1000) {
            timedOut = true;
            PrintLine(stderr, QStringLiteral("poll: no result after %1 s, the meter's requests are dropped").arg(timeout));
            engine.StopMeter(serial);
        }
        engine.SuperviseTick();
        if (engine.queue().Size() == 0 && engine.ThreadCount() == 0)
            QCoreApplication::quit();
    });
    SignalWatcher terminateWatch;
    QObject::connect(&terminateWatch, &SignalWatcher::Terminate, [&] {
        interrupted = true;
        engine.StopMeter(serial);
    });
    engine.SuperviseTick();
    supervisor.start(1000);
    QCoreApplication::exec();
    engine.Shutdown();
    replication.Finish(15000);
    return log.failed() || timedOut || interrupted ? kExitFailed : kExitOk;
}

int RunService(const CliContext &context)
{
    WebListen listen;
    QStringList rest;
    if (const int code = TakeListenOptions(context.args, &listen, &rest); code != kExitOk)
        return code;
    if (!rest.isEmpty())
        return UsageError(QStringLiteral("run: unknown option %1").arg(rest.first()));
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    Registry registry(TreeIniPath(context.dataRoot));
    StdoutLog log;
    CliReplication replication(context.dataRoot);
    ExchangeEngine engine({context.dataRoot, &registry, &log, nullptr, {}});
    std::unique_ptr<web::WebServer> portal;
    if (listen.wanted && !(portal = StartWebServer(context.dataRoot, listen, &engine)))
        return kExitFailed;
    QTimer schedule;
    QTimer supervisor;
    QObject::connect(&schedule, &QTimer::timeout, &engine, &ExchangeEngine::ScheduleTick);
    QObject::connect(&supervisor, &QTimer::timeout, &engine, &ExchangeEngine::SuperviseTick);
    SignalWatcher terminateWatch;
    QObject::connect(&terminateWatch, &SignalWatcher::Terminate, [] { QCoreApplication::quit(); });
    PrintLine(stdout, QStringLiteral("qst-cli run: polling by schedule from %1; stop with Ctrl+C or SIGTERM")
                          .arg(context.dataRoot));
    std::fflush(stdout);
    engine.ScheduleTick();
    schedule.start(5000);
    supervisor.start(1000);
    QCoreApplication::exec();
    schedule.stop();
    supervisor.stop();
    portal.reset(); // before the engine it hands reads to
    engine.Shutdown();
    replication.Finish(10000);
    return kExitOk;
}

} // namespace qst::cli
