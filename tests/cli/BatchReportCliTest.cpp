// qst-cli report --group: one document per meter of a group and its subgroups.
#include "CliRun.h"
#include "ReportCliFixture.h"

#include "registry/TreeCommands.h"
#include "reports/ReportBatch.h"

#include <QDirIterator>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

void CopyMeterData(const QString &root, const QString &from, const QString &to)
{
    for (const char *kind : { "HA", "DA" }) {
        const QString source = root + QStringLiteral("/DATA/") + QLatin1String(kind) + from;
        const QString target = root + QStringLiteral("/DATA/") + QLatin1String(kind) + to;
        QDir().mkpath(target);
        for (const QString &name : QDir(source).entryList(QDir::Files))
            QFile::copy(source + u'/' + name, target + u'/' + name);
    }
}

int AddMeter(Registry &registry, int group, const QString &serial, const QString &name)
{
    const int meter = registry.IssueMeterNumber();
    registry.AppendNumber(GroupSection(group), reg::kCList, meter);
    registry.file().WriteString(MeterSection(meter), reg::kSerial, serial);
    registry.file().WriteString(MeterSection(meter), reg::kName, name);
    registry.file().WriteString(MeterSection(meter), reg::kDU, QStringLiteral("50"));
    return meter;
}

} // namespace

TEST(BatchReport, FileNamesStayInsideTheFolder)
{
    const QDateTime from(QDate(2010, 3, 1), QTime(12, 0));
    const QDateTime to(QDate(2010, 3, 31), QTime(12, 0));
    const struct
    {
        const char *pattern;
        const char *serial;
        const char *name;
        const char *expected;
    } cases[] = {
        { "{serial} {name} {from}.docx", "100", "Котельная №3", "100 Котельная №3 2010-03-01.docx" },
        { "{serial} {name} {from}.docx", "7", "../../etc/passwd", "7 .._.._etc_passwd 2010-03-01.docx" },
        { "{name}", "7", "..", "_" },
        { "{name}.docx", "7", "a\\b:c*d?e\"f<g>h|i\nj", "a_b_c_d_e_f_g_h_i_j.docx" },
        { "/abs/{serial}-{to}.docx", "7", "", "_abs_7-2010-03-31.docx" },
        { "{name}", "7", "", "_" },
        { "{name}", "7", " . ", "_" },
    };
    for (const auto &c : cases) {
        ReportMeter meter;
        meter.serial = QString::fromUtf8(c.serial);
        meter.name = QString::fromUtf8(c.name);
        const QString name = BatchFileName(QString::fromUtf8(c.pattern), meter, from, to);
        EXPECT_EQ(name, QString::fromUtf8(c.expected)) << c.pattern << " / " << c.name;
        EXPECT_FALSE(name.contains(u'/'));
        EXPECT_NE(name, QStringLiteral(".."));
    }
    // Long names are cut to the file system's limit in bytes, between whole characters,
    // keeping the extension: two-, three- and four-byte letters alike.
    for (const QString &letter : {QStringLiteral("я"), QStringLiteral("語"), QStringLiteral("\U0001F600")}) {
        SCOPED_TRACE(letter.toStdString());
        ReportMeter longName;
        longName.name = letter.repeated(300);
        for (const int limit : {255, 143}) {
            const QString cut = BatchFileName(QStringLiteral("{name}.docx"), longName, from, to, limit);
            const QByteArray bytes = cut.toUtf8();
            EXPECT_LE(bytes.size(), limit);
            EXPECT_GT(bytes.size(), limit - 4) << "cut no shorter than a character needs";
            EXPECT_TRUE(cut.endsWith(QStringLiteral(".docx")));
            EXPECT_EQ(QString::fromUtf8(bytes), cut) << "no character split";
            EXPECT_TRUE(cut.startsWith(letter.repeated(10)));
        }
    }
}

// Two meters of one name under a long pattern with letters of three bytes each: both
// documents written, the second " (2)", each name within the file system's limit.
TEST(BatchReport, LongNamesAreCutNotRefused)
{
    ReportCliFixture f;
    Registry registry(TreeIniPath(f.root.path()));
    registry.file().WriteString(MeterSection(1), reg::kName, QStringLiteral("Котельная"));
    CopyMeterData(f.root.path(), QStringLiteral("100"), QStringLiteral("101"));
    AddMeter(registry, 0, QStringLiteral("101"), QStringLiteral("Котельная"));
    const QString dir = f.Out(QStringLiteral("docs"));
    const QString pattern = QStringLiteral("熱供給").repeated(30) + QStringLiteral(" {name} {from}.docx");
    const CliRun r = Cli(f.root.path(), {"report", "--group", "0", "--kind", "daily", "--system", "1", "--from",
                                         "2010-03-01", "--to", "2010-03-02", "--out-dir", dir, "--name", pattern});
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    const QStringList files = QDir(dir).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 2) << r.out.toStdString();
    for (const QString &file : files) {
        EXPECT_LE(file.toUtf8().size(), 255);
        EXPECT_TRUE(file.startsWith(QStringLiteral("熱供給熱供給")));
        EXPECT_TRUE(file.endsWith(QStringLiteral(".docx")));
    }
    EXPECT_TRUE(files[0].endsWith(QStringLiteral(" (2).docx")) || files[1].endsWith(QStringLiteral(" (2).docx")));
}

TEST(BatchReport, GroupOfThreeWithOneWithoutData)
{
    ReportCliFixture f;
    Registry registry(TreeIniPath(f.root.path()));
    const int district = CreateGroup(registry, 0, QStringLiteral("Район"));
    const int street = CreateGroup(registry, district, QStringLiteral("Улица"));
    registry.RemoveNumber(GroupSection(0), reg::kCList, 1);
    registry.AppendNumber(GroupSection(district), reg::kCList, 1);
    CopyMeterData(f.root.path(), QStringLiteral("100"), QStringLiteral("101"));
    AddMeter(registry, street, QStringLiteral("101"), QStringLiteral("../../Котельная/\"x\""));
    AddMeter(registry, street, QStringLiteral("102"), QStringLiteral("Пустой"));
    AddMeter(registry, 0, QStringLiteral("103"), QStringLiteral("Не в группе"));
    EXPECT_EQ(GroupMeters(registry, district).size(), 3);

    const QString dir = f.Out(QStringLiteral("out/docs"));
    const QStringList args { "report", "--group", QString::number(district), "--kind", "daily", "--system", "1",
        "--from", "2010-03-01", "--to", "2010-03-02", "--out-dir", dir };
    CliRun r = Cli(f.root.path(), args);
    EXPECT_EQ(r.exitCode, 1) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Записано документов: 2, отказов: 1"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("отказ: 102 (Пустой): "))) << r.out.toStdString();
    QStringList files;
    QDirIterator it(f.root.path(), { QStringLiteral("*.docx") }, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(f.root.path().size() + 1);
    files.sort();
    EXPECT_EQ(files,
        (QStringList {
            "out/docs/100 Котельная №3 2010-03-01.docx", "out/docs/101 .._.._Котельная__x_ 2010-03-01.docx" }));

    // Again: the documents are there, and only --yes replaces them.
    r = Cli(f.root.path(), args);
    EXPECT_TRUE(r.out.contains(QStringLiteral("Записано документов: 0, отказов: 3"))) << r.out.toStdString();
    r = Cli(f.root.path(), args + QStringList { "--yes" });
    EXPECT_TRUE(r.out.contains(QStringLiteral("Записано документов: 2, отказов: 1"))) << r.out.toStdString();

    EXPECT_EQ(Cli(f.root.path(),
                  { "report", "--group", "99", "--kind", "daily", "--from", "2010-03-01", "--to", "2010-03-02",
                      "--out-dir", dir })
                  .exitCode,
        1);
    EXPECT_EQ(Cli(f.root.path(),
                  { "report", "--group", "1", "--kind", "daily", "--from", "2010-03-01", "--to", "2010-03-02" })
                  .exitCode,
        2);
}

TEST(BatchReport, CancelStopsBetweenDocuments)
{
    ReportCliFixture f;
    Registry registry(TreeIniPath(f.root.path()));
    AddMeter(registry, 0, QStringLiteral("100"), QStringLiteral("Второй"));
    ReportOptions options;
    options.selection.dataRoot = f.root.path();
    options.selection.kind = kDailyReport;
    options.selection.from = QDateTime(QDate(2010, 3, 1), QTime(12, 0));
    options.selection.to = QDateTime(QDate(2010, 3, 2), QTime(12, 0));
    options.selection.ts2[0] = true;
    QList<int> seen;
    const BatchResult result = BuildGroupReports(registry, 0, options, false, f.Out(QStringLiteral("docs")),
        kDefaultBatchPattern, false, [&](int done, int total, const QString &) {
            EXPECT_EQ(total, 2);
            seen << done;
            return done < 1;
        });
    EXPECT_TRUE(result.cancelled);
    ASSERT_EQ(result.items.size(), 1);
    EXPECT_TRUE(result.items[0].written) << result.items[0].reason.toStdString();
    EXPECT_EQ(seen, (QList<int> { 0, 1 }));
    EXPECT_TRUE(BatchSummary(result).last().endsWith(QStringLiteral(", прервано")));
}
