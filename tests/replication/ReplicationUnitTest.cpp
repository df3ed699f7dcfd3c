// The pieces of the database copy that need no server: rows made from file lines, the
// outbox on disk, the connection settings.
#include "support/TempDataRoot.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "replication/DatabaseSettings.h"
#include "replication/Outbox.h"
#include "replication/ReplicaRows.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QFile>
#include <QRandomGenerator>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <functional>
#include <thread>

using namespace qst;
using namespace qst::test;

namespace {

QString ArchiveLineOf(int version, double time, float base)
{
    ArchiveValues v;
    v.time = time;
    for (int i = 0; i < kFCount; ++i)
        v.F[i] = base + float(i) * 0.1f;
    for (int i = 0; i < kNSCount; ++i)
        v.NS[i] = quint16(i * 1000 + 7);
    v.status = 0xF0; // stored as -16
    return BuildArchiveLine(version, v);
}

} // namespace

TEST(ReplicaRows, TimestampIsTheWallClockOfTheDayCountForEveryHourOfTenYears)
{
    QRandomGenerator random(17);
    for (QDate d(2020, 1, 1); d < QDate(2030, 1, 1); d = d.addDays(1)) {
        for (int h = 0; h < 24; ++h) {
            const QTime t(h, int(random.bounded(60)), int(random.bounded(60)));
            QByteArray text;
            ASSERT_TRUE(TimestampText(DayCountFromParts(d, t), &text));
            // The day count of the files comes back from 15-digit text.
            QByteArray reread;
            ASSERT_TRUE(TimestampText(ParseReal(FormatReal(DayCountFromParts(d, t))), &reread));
            const QByteArray expected = (d.toString(QStringLiteral("yyyy-MM-dd")) + u' ' +
                                         t.toString(QStringLiteral("HH:mm:ss"))).toLatin1();
            ASSERT_EQ(text, expected);
            ASSERT_EQ(reread, expected);
        }
    }
    QByteArray text;
    for (double bad : {std::nan(""), 1e9, -1e7, 3e6})
        EXPECT_FALSE(TimestampText(bad, &text)) << bad;
}

TEST(ReplicaRows, EveryFieldOfEachKindOfLineBecomesItsColumn)
{
    const double at = DayCountFromParts(QDate(2026, 3, 5), QTime(13, 0));
    struct Case
    {
        const char *what;
        FedKind kind;
        QString line;
        int present; // field columns the line fills; the rest are NULL
    };
    LineBuilder history1, history2;
    history1.Time(at);
    history2.Time(at);
    // Fields 33..37 are the abnormal-situation words, integers.
    for (int i = 1; i <= 43; ++i)
        i >= 33 && i <= 37 ? history1.Int(i * 100) : history1.Real(i * 0.5);
    for (int i = 1; i <= 55; ++i)
        i >= 33 && i <= 37 ? history2.Int(i * 100) : history2.Real(i * 0.25);
    const Case cases[] = {
        {"first-version archive", FedKind::Hourly, ArchiveLineOf(1, at, 1.5f), 33},
        {"second-version archive", FedKind::Daily, ArchiveLineOf(2, at, 2.5f), 45},
        {"first-version history", FedKind::History, history1.line(), 43},
        {"second-version history", FedKind::History, history2.line(), 55},
        {"journal with empty values", FedKind::Journal, BuildJournalLine(at, QStringLiteral("Изменение Tх"), {}, {}), 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ReplicaRow row;
        QString reason;
        ASSERT_TRUE(MakeReplicaRow(FedRecord{c.kind, 40000, c.line}, QStringLiteral("north"), &row, &reason)) << reason.toStdString();
        const ReplicaTable &table = TableOf(c.kind);
        ASSERT_EQ(row.values.size(), ParameterCount(table));
        EXPECT_EQ(*row.values[0], "40000");
        EXPECT_EQ(*row.values[1], "2026-03-05 13:00:00");
        const QList<QStringView> fields = SplitFields(c.line);
        for (qsizetype i = 0; i < table.fieldColumns.size(); ++i) {
            const std::optional<QByteArray> &v = row.values[i + 2];
            if (i >= c.present) {
                EXPECT_FALSE(v.has_value()) << table.fieldColumns[i].name;
                continue;
            }
            ASSERT_TRUE(v.has_value()) << table.fieldColumns[i].name;
            const QString field = fields[i + 1].toString();
            if (qstrcmp(table.fieldColumns[i].type, "text") == 0)
                EXPECT_EQ(QString::fromUtf8(*v), field);
            else
                EXPECT_EQ(v->toDouble(), ParseReal(field)) << table.fieldColumns[i].name;
        }
        EXPECT_EQ(QString::fromUtf8(*row.values[row.values.size() - 2]), c.line);
        EXPECT_EQ(*row.values.last(), "north");
    }
    // The status byte keeps its sign, as the file writes it.
    ReplicaRow row;
    QString reason;
    ASSERT_TRUE(MakeReplicaRow(FedRecord{FedKind::Hourly, 1, ArchiveLineOf(2, at, 0)}, {}, &row, &reason));
    EXPECT_EQ(*row.values[2 + 21], "-16");
}

TEST(ReplicaRows, LinesNoRowCanHoldAreRefusedWithTheirReason)
{
    struct Case
    {
        QString line;
        const char *reason;
    };
    const Case cases[] = {
        {QStringLiteral("abc\t1\t"), "time"},
        {QStringLiteral("\t"), "time"},
        {QStringLiteral("1e9\t1\t"), "calendar"},
        {QStringLiteral("40179,5\t1,5\tx\t"), "field 2"},
        {QStringLiteral("40179,5\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15\t16\t17\t18\t19\t20\t21\t-1,5\t"), "field 22"},
    };
    for (const Case &c : cases) {
        ReplicaRow row;
        QString reason;
        EXPECT_FALSE(MakeReplicaRow(FedRecord{FedKind::Hourly, 7, c.line}, {}, &row, &reason)) << c.line.toStdString();
        EXPECT_TRUE(reason.contains(QLatin1String(c.reason))) << reason.toStdString();
    }
    // Both decimal separators read, and name the same row.
    ReplicaRow comma, dot;
    QString reason;
    ASSERT_TRUE(MakeReplicaRow(FedRecord{FedKind::Monthly, 7, QStringLiteral("40179,5\t1,25\t")}, {}, &comma, &reason));
    ASSERT_TRUE(MakeReplicaRow(FedRecord{FedKind::Monthly, 7, QStringLiteral("40179.5\t1.25\t")}, {}, &dot, &reason));
    EXPECT_EQ(comma.key, dot.key);
    EXPECT_EQ(*comma.values[2], *dot.values[2]);
}

TEST(DatabaseSettings, PasswordsAndLineBreaksAreRefusedAndMaskedInTexts)
{
    struct Case
    {
        const char *url;
        bool accepted;
        const char *shown;
    };
    const Case cases[] = {
        {"postgresql://qst@db.example:5432/heat", true, "postgresql://qst@db.example:5432/heat"},
        {"host=/run/postgresql dbname=heat user=qst", true, "host=/run/postgresql dbname=heat user=qst"},
        {"postgresql://qst@[::1]:5432/heat", true, "postgresql://qst@[::1]:5432/heat"},
        {"postgresql://qst:secret@db/heat", false, "postgresql://qst:***@db/heat"},
        {"postgres://qst:@db/heat", false, "postgres://qst:***@db/heat"},
        {"host=db password=secret dbname=heat", false, "host=db password=*** dbname=heat"},
        {"host=db PASSWORD = 'a b' dbname=heat", false, "host=db PASSWORD = *** dbname=heat"},
        {"postgresql://qst@db/heat?sslmode=require&password=x", false, "postgresql://qst@db/heat?sslmode=require&password=***"},
        {"host=db\ndbname=heat", false, nullptr},
        {"   ", false, nullptr},
        // Spelled as libpq reads it: an encoded key or value, quotes, a second key.
        {"postgresql://qst@db/heat?%70assword=s3cret", false, nullptr},
        {"postgresql://qst@db/heat?sslmode=require&%50ASSWORD=s3cret", false, nullptr},
        {"postgresql://qst:s%33cret@db/heat", false, "postgresql://qst:***@db/heat"},
        {"host=db 'password'=s3cret", false, nullptr},
        {"host=db password='s3cret' password=s3cret", false, "host=db password=*** password=***"},
        {"host=db passw%6Frd=s3cret", false, nullptr},
        // What libpq cannot read is refused, not stored.
        {"=", false, nullptr},
        {"host=db dbname='heat", false, nullptr},
        {"postgresql://qst@db/heat?connect_timeout=60", true, "postgresql://qst@db/heat?connect_timeout=60"},
        // libpq's reasons quote what they cannot read.
        {"postgresql://qst:s3cret@[::1/heat", false, "postgresql://qst:***@[::1/heat"},
        {"postgresql://qst:s3%zzcret@db/heat", false, nullptr},
        {"postgresql://qst@db/heat?password=s3cret%zz", false, nullptr},
    };
    for (const Case &c : cases) {
        const QString url = QString::fromUtf8(c.url);
        EXPECT_EQ(DatabaseUrlError(url).isEmpty(), c.accepted) << c.url << ": " << DatabaseUrlError(url).toStdString();
        if (c.shown) {
            EXPECT_EQ(RedactedUrl(url), QString::fromUtf8(c.shown)) << c.url;
        }
        EXPECT_FALSE(RedactedUrl(url).contains(QStringLiteral("s3cret"))) << c.url;
        EXPECT_FALSE(DatabaseUrlError(url).contains(QStringLiteral("s3"))) << DatabaseUrlError(url).toStdString();
    }
}

TEST(DatabaseSettings, NodeNamesAreShortAndPrintable)
{
    struct Case
    {
        QString node;
        bool accepted;
    };
    const Case cases[] = {
        {QStringLiteral("север-1"), true},
        {QStringLiteral("ЦТП №4 (район 2)"), true},
        {QString(64, u'n'), true},
        {QString(65, u'n'), false},
        {QString(4000, u'n'), false},
        {QStringLiteral("a\rb"), false},
        {QStringLiteral("a") + QChar(0) + QStringLiteral("b"), false},
        {QStringLiteral("a\tb"), false},
        {QStringLiteral("a\u200Bb"), false}, // invisible
        {QStringLiteral("a\u00A0b"), false},
        {QStringLiteral("узел ✓"), false},   // Tree.ini cannot store it
    };
    for (const Case &c : cases)
        EXPECT_EQ(DatabaseNodeError(c.node).isEmpty(), c.accepted) << c.node.left(20).toStdString();
    EXPECT_TRUE(DatabaseNodeError(DefaultNodeName()).isEmpty());
}

namespace {

QList<FedRecord> Records(int thread, int from, int count)
{
    QList<FedRecord> records;
    for (int i = from; i < from + count; ++i)
        records.append(FedRecord{FedKind::Journal, quint16(thread),
                                 QStringLiteral("%1\tзапись\\ %1\nвторая строка\t\t").arg(i)});
    return records;
}

int Number(const FedRecord &r)
{
    return r.line.section(u'\t', 0, 0).toInt();
}

} // namespace

TEST(Outbox, EntriesFromManyWritersArriveOnceInTheirOrderWhileBatchesAreAcknowledged)
{
    TempDataRoot root;
    Outbox outbox(root.path());
    outbox.SetCompactBytes(4096); // compactions while writers append
    constexpr int kThreads = 4, kPerThread = 600;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&outbox, t] {
            QRandomGenerator random{quint32(t)};
            for (int i = 0; i < kPerThread;) {
                const int n = qMin(kPerThread - i, 1 + int(random.bounded(7)));
                outbox.Append(Records(t, i, n));
                i += n;
            }
        });
    }
    QList<int> next(kThreads, 0);
    int received = 0;
    QRandomGenerator random(99);
    const auto drain = [&] {
        const OutboxBatch batch = outbox.ReadPending(1 + int(random.bounded(50)));
        for (const OutboxEntry &e : batch.entries) {
            ASSERT_EQ(Number(e.record), next[e.record.serial]) << "writer " << e.record.serial;
            ASSERT_TRUE(e.record.line.contains(QStringLiteral("\nвторая строка")));
            ++next[e.record.serial];
            ++received;
        }
        outbox.Acknowledge(batch);
    };
    while (received < kThreads * kPerThread / 2)
        drain();
    for (std::thread &w : writers)
        w.join();
    while (received < kThreads * kPerThread)
        drain();
    EXPECT_TRUE(outbox.ReadPending(10).entries.isEmpty());
    const OutboxSummary s = outbox.Summary();
    EXPECT_EQ(s.pending, 0);
    EXPECT_LT(s.bytes, 64) << "a fully sent outbox is emptied";
}

TEST(Outbox, WhatWasNotAcknowledgedIsSentAgainAfterARestartAndATornEntryIsSetAside)
{
    TempDataRoot root;
    {
        Outbox outbox(root.path());
        outbox.Append(Records(1, 0, 5));
        const OutboxBatch first = outbox.ReadPending(2);
        outbox.Acknowledge(first);
        outbox.ReadPending(3); // read but never committed: the program died
    }
    // A crash in the middle of an append.
    QFile file(Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.dat"));
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("1700000000000\tJ\t1\t12\tполовина");
    file.close();

    Outbox again(root.path());
    const OutboxRecovery recovery = again.Recover();
    EXPECT_FALSE(recovery.damage.isEmpty());
    EXPECT_EQ(recovery.damagedEntries, 1);
    EXPECT_TRUE(recovery.resync);
    EXPECT_TRUE(ReadAll(recovery.quarantinePath).contains("половина"));
    const OutboxBatch rest = again.ReadPending(100);
    EXPECT_TRUE(rest.damage.isEmpty()) << rest.damage.toStdString();
    ASSERT_EQ(rest.entries.size(), 3);
    EXPECT_EQ(Number(rest.entries[0].record), 2);
    EXPECT_EQ(again.Summary().pending, 3);

    // An acknowledgement left over from a removed outbox never skips a new one's entries.
    again.Acknowledge(rest);
    again.Append(Records(1, 10, 2));
    const QByteArray ack = ReadAll(Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.ack"));
    QFile::remove(Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.dat"));
    WriteAll(Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.ack"), ack);
    again.Append(Records(1, 20, 2));
    EXPECT_EQ(again.ReadPending(100).entries.size(), 2);
}

namespace {

QString OutboxFile(const TempDataRoot &root)
{
    return Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.dat");
}

QString AckFile(const TempDataRoot &root)
{
    return Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.ack");
}

// Offset of the n-th line of the file (0: the header).
qsizetype LineStart(const QByteArray &bytes, int n)
{
    qsizetype at = 0;
    for (int i = 0; i < n; ++i)
        at = bytes.indexOf('\n', at) + 1;
    return at;
}

} // namespace

TEST(Outbox, DamageIsFoundSetAsideOnceAndTheSoundEntriesAreKept)
{
    // Ten entries 0..9, the first three acknowledged; then the fault.
    struct Case
    {
        const char *what;
        std::function<void(const TempDataRoot &)> fault;
        QList<int> kept;   // entries sent after the recovery
        bool resync;       // records may be lost: the files must be sent again
    };
    const auto flip = [](const TempDataRoot &root, int line, int column) {
        QByteArray bytes = ReadAll(OutboxFile(root));
        bytes[LineStart(bytes, line) + column] = char(bytes[LineStart(bytes, line) + column] ^ 0x01);
        WriteAll(OutboxFile(root), bytes);
    };
    const Case cases[] = {
        {"a changed byte at the start", [&](const TempDataRoot &r) { flip(r, 0, 0); }, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false},
        {"a changed byte in an unsent entry", [&](const TempDataRoot &r) { flip(r, 6, 20); }, {3, 4, 6, 7, 8, 9}, true},
        {"a changed checksum", [&](const TempDataRoot &r) { flip(r, 8, 1); }, {3, 4, 5, 6, 8, 9}, true},
        {"the file cut inside an entry",
         [](const TempDataRoot &r) {
             const QByteArray bytes = ReadAll(OutboxFile(r));
             WriteAll(OutboxFile(r), bytes.left(LineStart(bytes, 8) + 15));
         },
         {3, 4, 5, 6}, true},
        {"the file cut before the acknowledgement",
         [](const TempDataRoot &r) {
             const QByteArray bytes = ReadAll(OutboxFile(r));
             WriteAll(OutboxFile(r), bytes.left(LineStart(bytes, 2)));
         },
         {0}, true},
        {"an acknowledgement beyond the end",
         [](const TempDataRoot &r) {
             const QList<QByteArray> ack = ReadAll(AckFile(r)).trimmed().split(' ');
             WriteAll(AckFile(r), ack[0] + " 99999999\n");
         },
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, true},
        {"an acknowledgement inside an entry",
         [](const TempDataRoot &r) {
             const QList<QByteArray> ack = ReadAll(AckFile(r)).trimmed().split(' ');
             WriteAll(AckFile(r), ack[0] + ' ' + QByteArray::number(ack[1].toLongLong() + 5) + '\n');
         },
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false},
        {"the file cut inside its header",
         [](const TempDataRoot &r) { WriteAll(OutboxFile(r), ReadAll(OutboxFile(r)).left(7)); },
         {},
         true},
        {"a 9 MB entry",
         [](const TempDataRoot &r) {
             QByteArray bytes = ReadAll(OutboxFile(r));
             bytes.insert(LineStart(bytes, 5), "00000000\t1\tJ\t1\t" + QByteArray(9 * 1024 * 1024, 'x') + '\n');
             WriteAll(OutboxFile(r), bytes);
         },
         {3, 4, 5, 6, 7, 8, 9}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDataRoot root;
        {
            Outbox outbox(root.path());
            outbox.Append(Records(1, 0, 10));
            outbox.Acknowledge(outbox.ReadPending(3));
        }
        c.fault(root);
        const QByteArray damaged = ReadAll(OutboxFile(root));

        Outbox outbox(root.path());
        // Reading stops at the damage and says so; status says so too, never "nothing waits".
        QList<int> before;
        OutboxBatch batch;
        for (int i = 0; i < 20; ++i) {
            batch = outbox.ReadPending(2);
            for (const OutboxEntry &e : std::as_const(batch.entries))
                before.append(Number(e.record));
            if (batch.entries.isEmpty())
                break;
            outbox.Acknowledge(batch);
        }
        EXPECT_FALSE(batch.damage.isEmpty());
        EXPECT_FALSE(outbox.Summary().damage.isEmpty());

        const OutboxRecovery r = outbox.Recover();
        EXPECT_FALSE(r.damage.isEmpty());
        EXPECT_EQ(r.resync, c.resync);
        if (r.quarantinedBytes > 0) {
            EXPECT_GE(ReadAll(r.quarantinePath).size(), r.quarantinedBytes);
        }
        if (c.resync) {
            // The period to resend begins before the damaged entries were queued.
            EXPECT_LE(r.resyncSinceMs, QDateTime::currentMSecsSinceEpoch() - 9 * 60 * 1000);
        }
        EXPECT_TRUE(outbox.Recover().damage.isEmpty()) << "said once";
        EXPECT_TRUE(outbox.Summary().damage.isEmpty());

        // What had been read before the damage counts as sent; the rest comes now, and new
        // records follow.
        outbox.Append(Records(1, 100, 1));
        QList<int> after;
        for (OutboxBatch b = outbox.ReadPending(1000); !b.entries.isEmpty(); b = outbox.ReadPending(1000)) {
            EXPECT_TRUE(b.damage.isEmpty());
            for (const OutboxEntry &e : std::as_const(b.entries))
                after.append(Number(e.record));
            outbox.Acknowledge(b);
        }
        QList<int> expected = c.kept;
        for (int n : before)
            expected.removeOne(n);
        expected.append(100);
        EXPECT_EQ(after, expected);
        EXPECT_EQ(outbox.Summary().pending, 0);
    }
}

TEST(Outbox, AnOutboxOfThePreviousFormatIsCarriedOverNotLost)
{
    TempDataRoot root;
    QDir().mkpath(Outbox::FolderPath(root.path()));
    // Header, then "<ms>\t<kind>\t<serial>\t<line>" without checksums; two entries sent.
    QByteArray old = "QSTOUTBOX 1700000000000\n";
    for (int i = 0; i < 4; ++i)
        old += "1700000000000\tJ\t7\t" + QByteArray::number(i) + "\tзапись\\nвторая\t\t\n";
    WriteAll(OutboxFile(root), old);
    WriteAll(AckFile(root), "1700000000000 " + QByteArray::number(LineStart(old, 3)) + '\n');
    Outbox outbox(root.path());
    EXPECT_EQ(outbox.Summary().pending, 2);
    // An append before the check carries the file over first.
    outbox.Append(Records(7, 10, 1));
    const OutboxRecovery r = outbox.Recover();
    EXPECT_EQ(r.migrated, 2);
    EXPECT_FALSE(r.resync);
    const OutboxBatch b = outbox.ReadPending(100);
    EXPECT_TRUE(b.damage.isEmpty());
    ASSERT_EQ(b.entries.size(), 3);
    EXPECT_EQ(Number(b.entries[0].record), 2);
    EXPECT_EQ(b.entries[0].record.line, QStringLiteral("2\tзапись\nвторая\t\t"));
    EXPECT_EQ(Number(b.entries[2].record), 10);
}

TEST(Outbox, EntryLinesSurviveAnyText)
{
    const QStringList texts = {QStringLiteral("40179,5\tНС: 1\t\t"), QStringLiteral("a\\b\\\\n\tc\r\nd\t"),
                               QStringLiteral("\t"), QString()};
    for (const QString &t : texts) {
        OutboxEntry e;
        const QByteArray line = Outbox::EntryLine(42, FedRecord{FedKind::Journal, 65535, t});
        EXPECT_EQ(line.count('\n'), 1);
        ASSERT_TRUE(Outbox::ParseEntryLine(line, &e));
        EXPECT_EQ(e.record.line, t);
        EXPECT_EQ(e.record.serial, 65535);
        EXPECT_EQ(e.appendedMs, 42);
    }
    OutboxEntry e;
    for (const char *bad : {"", "x\tJ\t1\tl", "1\tQ\t1\tl", "1\tJ\t70000\tl", "1\tJ\t1"})
        EXPECT_FALSE(Outbox::ParseEntryLine(QByteArray(bad), &e)) << bad;
    // Any changed byte of an entry is found.
    const QByteArray good = Outbox::EntryLine(42, FedRecord{FedKind::Hourly, 7, QStringLiteral("40179,5\t1,5\t")});
    ASSERT_TRUE(Outbox::ParseEntryLine(good, &e));
    for (qsizetype i = 0; i + 1 < good.size(); ++i) {
        for (char bit : {char(0x01), char(0x10), char(0x80)}) {
            QByteArray bad = good;
            bad[i] = char(bad[i] ^ bit);
            EXPECT_FALSE(Outbox::ParseEntryLine(bad, &e)) << "byte " << i;
        }
    }
}

TEST(Outbox, EntryChecksumsAreTheStandardCrc32OfTheirText)
{
    // The plain bit-by-bit CRC-32 the files were written with from the start.
    const auto reference = [](const QByteArray &bytes) {
        quint32 crc = 0xFFFFFFFFu;
        for (char ch : bytes) {
            crc ^= quint8(ch);
            for (int k = 0; k < 8; ++k)
                crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        return crc ^ 0xFFFFFFFFu;
    };
    ASSERT_EQ(reference("123456789"), 0xCBF43926u);
    QRandomGenerator random(11);
    for (int i = 0; i < 3000; ++i) {
        QString text;
        const int length = int(random.bounded(0, 700));
        for (int k = 0; k < length; ++k)
            text += QChar(char16_t(random.bounded(2) ? random.bounded(0x20, 0x7f) : random.bounded(0x400, 0x450)));
        const QByteArray line = Outbox::EntryLine(random.bounded(1 << 30), FedRecord{FedKind::Hourly, 7, text});
        const QByteArray body = line.mid(9).chopped(1);
        ASSERT_EQ(line.left(8).toUInt(nullptr, 16), reference(body)) << i;
    }
}

TEST(Outbox, AFullDiskRefusesTheAppendWholeAndKeepsWhatWasQueued)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path());
    if (::mount("qst-outbox", path.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    {
        QDir(dir.path()).mkdir(QStringLiteral("DATA"));
        Outbox outbox(dir.path());
        int stored = 0;
        bool refused = false;
        for (int i = 0; i < 2000 && !refused; i += 10) {
            try {
                outbox.Append(Records(3, i, 10));
                stored += 10;
            } catch (const StorageError &e) {
                refused = true;
                EXPECT_TRUE(e.message().contains(QStringLiteral("No space left"))) << e.message().toStdString();
            }
        }
        EXPECT_TRUE(refused);
        const OutboxBatch batch = outbox.ReadPending(100000);
        EXPECT_EQ(batch.entries.size(), stored);
        const QByteArray bytes = ReadAll(Outbox::FolderPath(dir.path()) + QStringLiteral("/outbox.dat"));
        EXPECT_TRUE(bytes.endsWith('\n'));
    }
    ::umount(path.constData());
}

TEST(ReplicaRows, CopyTextEscapesWhatCopyWouldReadOtherwiseAndKeepsEveryOtherByte)
{
    const struct
    {
        QByteArray value;
        QByteArray expected;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a\tb", "a\\tb"},
        {"line\nbreak\r\n", "line\\nbreak\\r\\n"},
        {"C:\\new\\table", "C:\\\\new\\\\table"},
        {"\\N", "\\\\N"}, // the text, not NULL
        {"\\.", "\\\\."}, // not the end marker
        {"\x01\x1b[0m\x7f", "\x01\x1b[0m\x7f"},
        {"\"quoted\" 'q' {a,b} NULL", "\"quoted\" 'q' {a,b} NULL"},
        {"Изменение 😀", "Изменение 😀"},
    };
    for (const auto &c : cases) {
        QByteArray out = "x";
        AppendCopyValue(&out, c.value);
        EXPECT_EQ(out, "x" + c.expected) << c.value.toStdString();
    }
    ReplicaRow a, b;
    a.values = {QByteArray("1"), std::nullopt, QByteArray("t\tx")};
    b.values = {QByteArray("2"), QByteArray(""), QByteArray("\\")};
    EXPECT_EQ(CopyText({a, b}, 0, 2), QByteArray("1\t\\N\tt\\tx\n2\t\t\\\\\n"));
    EXPECT_EQ(CopyText({a, b}, 1, 1), QByteArray("2\t\t\\\\\n"));
}
