#pragma once

#include "../e2e/SimHarness.h"
#include "../exchange/ExchangeFixture.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/MeterHealth.h"
#include "registry/Registry.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

#include <atomic>

namespace qst::test {

// The system clock moved by an offset, for the engine: hours pass without waiting.
class ShiftedClock final : public ExchangeClock
{
public:
    QDateTime Now() override { return QDateTime::currentDateTime().addSecs(m_offset); }
    quint32 Tick() override { return SystemExchangeClock().Tick(); }
    void Sleep(int ms) override { SystemExchangeClock().Sleep(ms); }
    void SetOffset(qint64 seconds) { m_offset = seconds; }

private:
    std::atomic<qint64> m_offset{0};
};

inline int RunCli(const QString &root, const QStringList &args, QString *out = nullptr, QString *err = nullptr)
{
    QProcess p;
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root} + args);
    p.waitForFinished(60000);
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline QStringList SimArgs(int serial, QStringList more = {})
{
    return QStringList{QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
                       QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"),
                       QStringLiteral("0"), QStringLiteral("--hourly-slots"), QStringLiteral("200"),
                       QStringLiteral("--journal-slots"), QStringLiteral("10")}
        + more;
}

// A data root with an engine on the shifted clock; settings are written before the
// registry opens Tree.ini (qst-cli writes them in its own process).
struct NotifyRoot
{
    TempDataRoot root;
    std::unique_ptr<Registry> registry;
    RecordingLog log;
    ShiftedClock clock;
    std::unique_ptr<ExchangeEngine> engine;

    void Open()
    {
        registry = std::make_unique<Registry>(TreeIniPath(root.path()));
        engine = std::make_unique<ExchangeEngine>(ExchangeEnvironment{root.path(), registry.get(), &log, &clock, {}});
    }
    void MapPort(int port, const QString &device)
    {
        registry->file().WriteString(reg::kPorts, QString::number(port), device);
    }
    bool RunToEmpty(int ms = 180000)
    {
        engine->SuperviseTick();
        QElapsedTimer t;
        t.start();
        const bool emptied = SpinUntil(
            [&] {
                if (t.elapsed() > 1000) {
                    engine->SuperviseTick();
                    t.restart();
                }
                return engine->queue().Size() == 0;
            },
            ms);
        engine->SuperviseTick();
        return emptied && engine->ThreadCount() == 0;
    }
};

// A secret file of mode 0600.
inline QString WriteSecret(const QString &folder, const QByteArray &secret)
{
    const QString path = folder + QStringLiteral("/secret");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(secret + '\n');
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return path;
}

// The receiver script as a child process; its lines are the requests it got.
class WebhookSink
{
public:
    WebhookSink(const QString &secretFile, int failFirst, const QStringList &more = {})
    {
        m_process.start(QStringLiteral("python3"),
                        QStringList{QStringLiteral(QST_NOTIFY_DIR "/webhook_sink.py"), QStringLiteral("--secret-file"),
                                    secretFile, QStringLiteral("--fail-first"), QString::number(failFirst)}
                            + more);
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine() && m_process.state() != QProcess::NotRunning && t.elapsed() < 10000)
            m_process.waitForReadyRead(100);
        if (m_process.canReadLine())
            m_port = m_process.readLine().trimmed().toInt();
        else
            std::fprintf(stderr, "webhook_sink.py: %s\n", m_process.readAllStandardError().constData());
    }
    ~WebhookSink()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    int port() const { return m_port; }
    // Reads what arrived until `enough` holds or timeoutMs passed.
    template <typename F> bool Collect(F enough, int timeoutMs = 30000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            while (m_process.canReadLine())
                m_requests.append(QJsonDocument::fromJson(m_process.readLine()).object());
            if (enough(m_requests))
                return true;
            if (t.elapsed() > timeoutMs)
                return false;
            m_process.waitForReadyRead(200);
        }
    }
    const QList<QJsonObject> &requests() const { return m_requests; }

private:
    QProcess m_process;
    int m_port = 0;
    QList<QJsonObject> m_requests;
};

} // namespace qst::test
