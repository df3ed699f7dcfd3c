// The example queries of docs/database-queries.sql against a database of known content.
#include "PgServer.h"

#include "common/DayCount.h"
#include "replication/ReplicaWriter.h"
#include "storage/ArchiveFiles.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

QMap<QString, QByteArray> DocumentedQueries()
{
    QFile file(QStringLiteral(QST_SOURCE_DIR "/docs/database-queries.sql"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QMap<QString, QByteArray> queries;
    QString name;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("-- query: ")) {
            name = QString::fromUtf8(line.mid(10)).trimmed();
            continue;
        }
        if (!name.isEmpty() && !line.startsWith("--"))
            queries[name] += line + '\n';
    }
    return queries;
}

QString Line(const QDateTime &t, double q1, double q2)
{
    LineBuilder b;
    b.Time(DayCountFromDateTime(t)).Real(q1).Real(q2);
    for (int i = 3; i <= 21; ++i)
        b.Real(i);
    for (int i = 22; i <= 27; ++i)
        b.Int(0);
    for (int i = 28; i <= 33; ++i)
        b.Real(60);
    return b.line();
}

QString Stamp(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

TEST(DocumentedQueries, AnswerTheQuestionsTheyAreNamedFor)
{
    QST_REQUIRE_PG();
    const QMap<QString, QByteArray> queries = DocumentedQueries();
    ASSERT_EQ(queries.keys(), (QStringList{QStringLiteral("daily-heat"), QStringLiteral("hourly-series"),
                                            QStringLiteral("last-answer"), QStringLiteral("missing-hours")}));
    PgConnection c;
    QString error;
    ASSERT_TRUE(c.Open(PgServer::Shared().CreateDatabase(), &error)) << error.toStdString();
    ASSERT_TRUE(EnsureSchema(c, &error)) << error.toStdString();
    ASSERT_TRUE(c.Exec("INSERT INTO meters (node, serial, meter_number, name, group_path, registry_keys) VALUES "
                       "('north', 4711, 1, 'Школа №5', 'Район 1', '{}'), ('south', 4712, 1, 'Баня', '', '{}')")
                    .ok());
    // 4711: twelve hours two days ago with 03:00 and 04:00 missing, two days of heat;
    // 4712 never answered.
    const QDateTime day(QDate::currentDate().addDays(-2), QTime(0, 0));
    QList<FedRecord> records;
    for (int h = 0; h < 12; ++h) {
        if (h != 3 && h != 4)
            records.append({FedKind::Hourly, 4711, Line(day.addSecs(h * 3600), h, 0)});
    }
    records.append({FedKind::Daily, 4711, Line(day.addDays(-1), 10.25, 1.5)});
    records.append({FedKind::Daily, 4711, Line(day, 12.5, 0)});
    const ReplicaOutcome out = UpsertRecords(c, QStringLiteral("north"), records);
    ASSERT_EQ(out.status, ReplicaOutcome::Committed) << out.error.toStdString();

    EXPECT_EQ(QueryRows(c, queries[QStringLiteral("missing-hours")]),
              (QStringList{QStringLiteral("4711\t") + Stamp(day.addSecs(3 * 3600)),
                           QStringLiteral("4711\t") + Stamp(day.addSecs(4 * 3600))}));
    EXPECT_EQ(QueryRows(c, queries[QStringLiteral("daily-heat")]),
              (QStringList{day.addDays(-1).toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("\tШкола №5\t4711\t10.25\t1.5\t11.75"),
                           day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("\tШкола №5\t4711\t12.5\t0\t12.5")}));
    const QStringList last = QueryRows(c, queries[QStringLiteral("last-answer")]);
    ASSERT_EQ(last.size(), 2);
    EXPECT_TRUE(last[0].startsWith(QStringLiteral("south\t4712\tБаня\t\t<null>\t<null>"))) << last[0].toStdString();
    EXPECT_TRUE(last[1].startsWith(QStringLiteral("north\t4711\tШкола №5\tРайон 1\t") + Stamp(day.addSecs(11 * 3600))))
        << last[1].toStdString();
    const QStringList series = QueryRows(c, queries[QStringLiteral("hourly-series")]);
    ASSERT_EQ(series.size(), 10);
    EXPECT_EQ(series[0], Stamp(day) + QStringLiteral("\t12\t13\t0"));
}
