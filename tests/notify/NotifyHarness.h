#pragma once

#include "../e2e/SimHarness.h"
#include "../exchange/ExchangeFixture.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/MeterHealth.h"
#include "registry/Registry.h"

#include <QFile>
#include <QProcess>
#include <QThread>

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

} // namespace qst::test
