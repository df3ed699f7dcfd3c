// qst-cli polls three meters registered on one port at different addresses, all served by one
// bus simulator on a pseudo-terminal: each meter gets its own archives, the very ones a lone
// simulator of that calculator gives.
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qst;
using namespace qst::test;

namespace {

struct Member
{
    int serial;
    int address;
    int version;
};

const Member kMembers[] = { { 50001, 1, 2 }, { 50002, 2, 1 }, { 50003, 3, 2 } };
constexpr quint64 kSeed = 7;

QStringList Common()
{
    return { QStringLiteral("--seed"), QString::number(kSeed), QStringLiteral("--baud"), QStringLiteral("19200"),
        QStringLiteral("--latency-ms"), QStringLiteral("0") };
}

class Poller
{
public:
    int Cli(const QStringList &args, QString *out = nullptr) const
    {
        QProcess p;
        p.start(QStringLiteral(QST_CLI), QStringList { QStringLiteral("--data-dir"), m_root.path() } + args);
        p.waitForFinished(180000);
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    }
    bool Add(const Member &m, const QString &device) const
    {
        return Cli({ QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"),
                   QStringLiteral("m%1").arg(m.serial), QStringLiteral("--serial"), QString::number(m.serial),
                   QStringLiteral("--address"), QString::number(m.address), QStringLiteral("--port"),
                   QStringLiteral("4"), QStringLiteral("--devtype"), QString::number(m.version) })
            == 0
            && Cli({ QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("4"), device }) == 0;
    }
    // Daily records of the last four days, hourly of six hours ending an hour ago.
    int Poll(int serial, const QDateTime &hour, QString *out) const
    {
        const QDate day = hour.date();
        return Cli(
            { QStringLiteral("poll"), QStringLiteral("--serial"), QString::number(serial), QStringLiteral("--daily"),
                day.addDays(-4).toString(Qt::ISODate), day.toString(Qt::ISODate), QStringLiteral("--hourly"),
                hour.addSecs(-7 * 3600).toString(Qt::ISODate), hour.addSecs(-3600).toString(Qt::ISODate) },
            out);
    }
    // What the poll stored, hourly lines then daily lines, across month and year ends.
    QStringList Stored(int serial, const QDateTime &hour) const
    {
        QStringList lines;
        auto add = [&](const QString &path) {
            for (const QString &l : LoadLines(path))
                if (!lines.contains(l))
                    lines.append(l);
        };
        for (const QDate d : { hour.addSecs(-7 * 3600).date(), hour.date() })
            add(DataFilePath(m_root.path(), DataKind::Hourly, static_cast<quint16>(serial), d.year(), d.month()));
        const int hourly = static_cast<int>(lines.size());
        for (const QDate d : { hour.date().addDays(-4), hour.date() })
            add(DataFilePath(m_root.path(), DataKind::Daily, static_cast<quint16>(serial), d.year()));
        m_hourly = hourly;
        m_daily = static_cast<int>(lines.size()) - hourly;
        return lines;
    }
    int hourly() const { return m_hourly; }
    int daily() const { return m_daily; }

private:
    TempDataRoot m_root;
    mutable int m_hourly = 0;
    mutable int m_daily = 0;
};

} // namespace

TEST(BusPoll, ThreeMetersOnOnePortEachGetTheirOwnArchives)
{
    // Away from an hour boundary, so both polls ask for the same hours as the newest.
    const QTime t = QTime::currentTime();
    if (t.minute() == 59 && t.second() > 0)
        QThread::sleep(static_cast<unsigned long>(62 - t.second()));
    const QDateTime hour(QDate::currentDate(), QTime(QTime::currentTime().hour(), 0));

    SimProcess bus(QStringList { QStringLiteral("--bus"), QStringLiteral("50001@1,50002@2:1,50003@3") } + Common());
    ASSERT_TRUE(bus.started());
    Poller onBus;
    for (const Member &m : kMembers)
        ASSERT_TRUE(onBus.Add(m, bus.path())) << m.serial;

    // Joined, so that a failure prints the lines.
    std::vector<std::string> archives;
    for (const Member &m : kMembers) {
        SCOPED_TRACE(m.serial);
        QString out;
        EXPECT_EQ(onBus.Poll(m.serial, hour, &out), 0) << out.toStdString();
        archives.push_back(onBus.Stored(m.serial, hour).join(u'\n').toStdString());
        EXPECT_EQ(onBus.daily(), 4);
        EXPECT_GE(onBus.hourly(), 5);
    }
    EXPECT_NE(archives[0], archives[1]);
    EXPECT_NE(archives[0], archives[2]) << "same version, different serials: different archives";
    EXPECT_NE(archives[1], archives[2]);

    // A lone simulator of the same calculator, seeded as the bus seeds it, gives the same files.
    for (int i = 0; i < 3; ++i) {
        const Member &m = kMembers[i];
        SCOPED_TRACE(m.serial);
        QStringList args = Common();
        args[1] = QString::number((kSeed << 16) + static_cast<quint64>(m.serial));
        SimProcess lone(args
            + QStringList { QStringLiteral("--serial"), QString::number(m.serial), QStringLiteral("--address"),
                QString::number(m.address), QStringLiteral("--calc"), QString::number(m.version) });
        ASSERT_TRUE(lone.started());
        Poller alone;
        ASSERT_TRUE(alone.Add(m, lone.path()));
        QString out;
        EXPECT_EQ(alone.Poll(m.serial, hour, &out), 0) << out.toStdString();
        EXPECT_EQ(alone.Stored(m.serial, hour).join(u'\n').toStdString(), archives[static_cast<size_t>(i)]);
    }
}
