// The protocols and the statement read back from the .docx they produce.
#include "DocxReader.h"
#include "ReportFixture.h"

#include "common/RegionalFormat.h"
#include "reports/ReportDocuments.h"
#include "reports/WordDocument.h"
#include "storage/RecordWriters.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace qst;
using namespace qst::test;

namespace {

ReportMeter Meter(int devType = 2)
{
    ReportMeter m;
    m.serial = QStringLiteral("100");
    m.name = QStringLiteral("Школа <№5> & \"дети\"\x01");
    m.phone = QStringLiteral("123-45-67");
    m.abonNo = QStringLiteral("A-17");
    m.physAddress = QStringLiteral("ул. Ленина, 1");
    m.person = QStringLiteral("Иванов");
    m.du = QStringLiteral("50");
    m.duNumber = 50;
    m.devType = devType;
    return m;
}

DocxDocument Build(const ReportOptions &options, bool statement = false)
{
    TWordDocument doc;
    const QString refusal = statement ? BuildHeatStatement(options, doc) : BuildProtocolReport(options, doc);
    EXPECT_TRUE(refusal.isEmpty()) << refusal.toStdString();
    DocxDocument d = ReadDocx(doc.ToDocx());
    EXPECT_TRUE(d.valid) << d.error.toStdString();
    return d;
}

QStringList RowTexts(const DocxRow &row)
{
    QStringList texts;
    for (const DocxCell &c : row.cells)
        texts.append(c.Text());
    return texts;
}

QStringList BodyTexts(const DocxDocument &d)
{
    QStringList texts;
    for (const DocxBlock &b : d.blocks)
        if (!b.isTable && !b.text.isEmpty())
            texts.append(b.text);
    return texts;
}

int PageBreaks(const DocxDocument &d)
{
    int n = 0;
    for (const DocxBlock &b : d.blocks)
        n += b.pageBreak ? 1 : 0;
    return n;
}

// Three days of hourly records, one hour each plus the last hour of the third day.
void PutThreeDays(ReportFixture &f)
{
    for (int day = 1; day <= 3; ++day)
        for (int h = 0; h < 24; h += 6)
            f.Put(kHourlyArchive, {At(2010, 3, day, h), 1.5f, 2, 1, 0, 0, 70, 50, 5, 4, 1, 0, 0, 0});
    f.Put(kHourlyArchive, {At(2010, 3, 4, 0), 1});
}

} // namespace

TEST(ProtocolDocument, HourlyPagesPerDayOrOneTable)
{
    ReportFixture f;
    PutThreeDays(f);
    ReportOptions o;
    o.meter = Meter();
    o.selection = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 3), {0, 12});

    o.breakPages = true;
    DocxDocument d = Build(o);
    QList<const DocxTable *> t = d.Tables();
    // consumer header, three day tables, integrators, signatures
    ASSERT_EQ(t.size(), 6);
    EXPECT_EQ(PageBreaks(d), 2);
    for (int day = 1; day <= 3; ++day) {
        const DocxTable &table = *t[day];
        EXPECT_EQ(RowTexts(table.rows[0]), (QStringList{QStringLiteral("Дата"), QStringLiteral("Q ГКал"),
                                                        QStringLiteral("ВНР ч")}));
        EXPECT_TRUE(table.bordered);
        // four hours a day; the last day also carries the totals and means
        EXPECT_EQ(table.rows.size(), day < 3 ? 5 : 7) << day;
    }
    EXPECT_EQ(t[3]->rows[5].cells[0].Text(), QStringLiteral("Итого"));
    EXPECT_EQ(t[3]->rows[5].cells[1].Text(), QStringLiteral("18,00"));
    // Each day's heading row repeats on the pages its table runs onto; no row ever splits.
    for (int i = 1; i < t.size(); ++i) {
        for (int r = 0; r < t[i]->rows.size(); ++r) {
            EXPECT_TRUE(t[i]->rows[r].cantSplit) << i << " " << r;
            if (i <= 4) {
                EXPECT_EQ(t[i]->rows[r].heading, r == 0) << i << " " << r;
            }
        }
    }
    // A page break stands between the day tables, and nowhere else.
    int tableSeen = 0;
    for (const DocxBlock &b : d.blocks) {
        if (b.isTable) {
            ++tableSeen;
        } else if (b.pageBreak) {
            EXPECT_TRUE(tableSeen == 2 || tableSeen == 3) << tableSeen;
        }
    }

    o.breakPages = false;
    d = Build(o);
    t = d.Tables();
    ASSERT_EQ(t.size(), 4);
    EXPECT_EQ(PageBreaks(d), 0);
    EXPECT_EQ(t[1]->rows.size(), 1 + 12 + 2);
    int headers = 0;
    for (const DocxRow &row : t[1]->rows)
        headers += row.cells[0].Text() == QStringLiteral("Дата") ? 1 : 0;
    EXPECT_EQ(headers, 1);
}

TEST(ProtocolDocument, HeaderTitleAndWorkingTime)
{
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 3, 1), 1, 0, 0, 0, 0, 0, 0, 0, 0, 12.5f, 11.5f});
    f.Put(kDailyArchive, {At(2010, 3, 2), 1});
    ReportOptions o;
    o.meter = Meter(1);
    o.selection = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), {});
    const DocxDocument d = Build(o);
    const QStringList body = BodyTexts(d);
    ASSERT_GE(body.size(), 5);
    EXPECT_EQ(body[0], QStringLiteral("Суточный протокол учёта тепловой энергии воды"));
    EXPECT_EQ(body[1], QStringLiteral("за период с 01.03.2010 по 01.03.2010"));
    EXPECT_TRUE(body.contains(QStringLiteral("Показания интеграторов")));
    EXPECT_TRUE(body.contains(QStringLiteral("Период нормальной работы: 12,5ч.")));
    EXPECT_TRUE(body.contains(QStringLiteral("Период отсутствия счёта тепловой энергии: 11,5ч.")));
    EXPECT_EQ(d.blocks[0].alignment, 1);
    EXPECT_FALSE(d.landscape);

    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 4);
    const DocxTable &header = *t[0];
    EXPECT_FALSE(header.bordered);
    ASSERT_EQ(header.rows.size(), 5);
    // The control character in the name prints as a blank.
    EXPECT_EQ(header.rows[0].cells[0].Text(), QStringLiteral("Название потребителя: Школа <№5> & \"дети\" "));
    EXPECT_EQ(header.rows[2].cells[1].Text(), QStringLiteral("ДУ: 50"));
    EXPECT_EQ(header.rows[3].cells[0].Text(), QStringLiteral("Тепловая система: TC 1 (ОТОПЛ_1)"));
    EXPECT_EQ(header.rows[4].cells[0].Text(), QStringLiteral("Тепловычислитель: QST-99M 5.4"));
    EXPECT_EQ(header.rows[4].cells[1].Text(), QStringLiteral("Зав. №: 100"));
    // At least 10 pt: a long name wraps instead of being cut off.
    EXPECT_EQ(header.rows[0].minHeight, 10);
    EXPECT_EQ(header.rows[0].exactHeight, 0);
    EXPECT_EQ(header.gridWidths, (QList<double>{300, 150}));
    // No field selected: the date column and an empty one; column 1 widened to 50 pt kept.
    const DocxTable &data = *t[1];
    EXPECT_EQ(data.gridWidths.size(), 2);
    EXPECT_EQ(RowTexts(data.rows[0]), (QStringList{QStringLiteral("Дата"), QString()}));
    EXPECT_FALSE(t[3]->bordered) << "signatures";
    EXPECT_EQ(RowTexts(t[3]->rows[1]), (QStringList{QStringLiteral("Потребителя"), QStringLiteral("Поставщика")}));
    EXPECT_EQ(d.protection.value(QStringLiteral("edit")), QStringLiteral("readOnly"));
    EXPECT_TRUE(d.headerPicture);
}

TEST(ProtocolDocument, JournalHasFourColumnsAndNothingElse)
{
    ReportFixture f;
    SaveJournalLine(f.target, 100, 0, At(2010, 3, 1), At(2010, 3, 1, 14, 30), QStringLiteral("Q1"),
                    QStringLiteral("1"), QStringLiteral("2"));
    ReportOptions o;
    o.meter = Meter();
    o.detail = true;
    o.selection = f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    const DocxDocument d = Build(o);
    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 4) << "header, journal, faults (DetailCB set and shown), signatures";
    EXPECT_EQ(RowTexts(t[1]->rows[0]), (QStringList{QStringLiteral("Дата"), QStringLiteral("Запись"),
                                                     QStringLiteral("Старое значение"),
                                                     QStringLiteral("Новое значение")}));
    EXPECT_EQ(RowTexts(t[1]->rows[1]), (QStringList{QStringLiteral("01.03.2010 14:30:00"), QStringLiteral("Q1"),
                                                     QStringLiteral("1"), QStringLiteral("2")}));
    for (const QString &text : BodyTexts(d)) {
        EXPECT_FALSE(text.startsWith(QStringLiteral("Период"))) << text.toStdString();
        EXPECT_NE(text, QStringLiteral("Показания интеграторов"));
    }
    EXPECT_EQ(BodyTexts(d).first(), QStringLiteral("Журнал тепловычислителя"));

    o.detailVisible = false;
    EXPECT_EQ(Build(o).Tables().size(), 3);
}

TEST(ProtocolDocument, JournalWithoutEntriesKeepsItsHeadings)
{
    ReportFixture f;
    ReportOptions o;
    o.meter = Meter();
    o.selection = f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    const DocxDocument d = Build(o);
    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 3) << "header, journal, signatures";
    ASSERT_EQ(t[1]->rows.size(), 2);
    EXPECT_EQ(RowTexts(t[1]->rows[0]), (QStringList{QStringLiteral("Дата"), QStringLiteral("Запись"),
                                                     QStringLiteral("Старое значение"),
                                                     QStringLiteral("Новое значение")}));
    EXPECT_EQ(t[1]->rows[1].cells[0].Text(), QStringLiteral("записей нет"));
}

TEST(ProtocolDocument, ColdWaterIntegratorsAndFaults)
{
    ReportFixture f;
    QList<int> faultHours;
    for (int h = 0; h < 24; ++h) {
        ArchiveValues a;
        a.time = At(2010, 3, 1, h);
        a.F[10] = 1;
        a.NS[4] = (h % 5 == 0) ? static_cast<quint16>(1 << (h % 8)) : 0;
        if (a.NS[4])
            faultHours.append(h);
        SaveArchiveLine(f.target, 1, 100, true, 0, kHourlyArchive, a);
    }
    ArchiveValues last;
    last.time = At(2010, 3, 2, 0);
    SaveArchiveLine(f.target, 1, 100, true, 0, kHourlyArchive, last);

    ReportOptions o;
    o.meter = Meter();
    o.detail = true;
    o.selection = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), {0, 3, 4}, kColdWater);
    const DocxDocument d = Build(o);
    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 5);
    EXPECT_EQ(d.Tables()[0]->rows[3].cells[0].Text(), QStringLiteral("Тепловая система: TC 3 (ХВС)"));
    const DocxTable &integrators = *t[2];
    ASSERT_EQ(integrators.gridWidths.size(), 4);
    EXPECT_EQ(integrators.rows.size(), 4);
    EXPECT_TRUE(integrators.bordered);
    const DocxTable &faults = *t[3];
    ASSERT_EQ(faults.gridWidths.size(), 2);
    EXPECT_EQ(RowTexts(faults.rows[0]), (QStringList{QStringLiteral("Дата"), QStringLiteral("Неисправность (1)")}));
    ASSERT_EQ(faults.rows.size(), 1 + faultHours.size());
    for (int i = 0; i < faultHours.size(); ++i) {
        const int h = faultHours[i];
        EXPECT_EQ(faults.rows[i + 1].cells[0].Text(), DateTimeText(At(2010, 3, 1, h)));
        EXPECT_EQ(faults.rows[i + 1].cells[1].Text(), FlagNames(5, 1 << (h % 8))) << h;
    }
}

TEST(ProtocolDocument, RefusedPeriodLeavesTheDocumentEmpty)
{
    ReportFixture f;
    ReportOptions o;
    o.meter = Meter();
    o.selection = f.Selection(kDailyReport, QDate(2010, 3, 2), QDate(2010, 3, 1), {0});
    TWordDocument doc;
    EXPECT_EQ(BuildProtocolReport(o, doc), QStringLiteral("Дата начала должна быть меньше даты конца отчетного периода!"));
    EXPECT_EQ(doc.TableCount(), 0);
    EXPECT_FALSE(BuildHeatStatement(o, doc).isEmpty());
}

namespace {

// 25 January .. 5 February of daily records with a pressure of 5 kgf/cm2, plus the hours.
void PutStatementPeriod(ReportFixture &f)
{
    for (QDate d(2010, 1, 25); d <= QDate(2010, 2, 6); d = d.addDays(1))
        f.Put(kDailyArchive, {DayCountFromDate(d), 2, 10, 9, 0, 0, 70, 45, 5, 4, 24, 0});
    for (QDate d(2010, 1, 25); d <= QDate(2010, 2, 6); d = d.addDays(1))
        for (int h = 0; h < 24; ++h)
            f.Put(kHourlyArchive, {DayCountFromParts(d, QTime(h, 0)), 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0});
}

} // namespace

TEST(StatementDocument, LayoutAndNumbers)
{
    ReportFixture f;
    PutStatementPeriod(f);
    ReportOptions o;
    o.meter = Meter();
    o.selection = f.Selection(kHourlyReport, QDate(2010, 1, 25), QDate(2010, 2, 5), {4, 5}, kHeatSystem1);
    const DocxDocument d = Build(o, true);
    EXPECT_TRUE(d.landscape);
    EXPECT_GT(d.pageWidth, d.pageHeight);
    EXPECT_EQ(BodyTexts(d).first(), QStringLiteral("Ведомость учета отпуска тепловой энергии в системе отопления"));

    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 3);
    const DocxTable &header = *t[0];
    EXPECT_FALSE(header.bordered);
    EXPECT_EQ(header.gridWidths, (QList<double>{500, 200}));
    // DU 50 without stored limits: Gmin 0,3 and, for class 0, Gmax 75.
    EXPECT_EQ(header.rows[2].cells[0].Text(), QStringLiteral("Наименьший расход теплоносителя Gmin=0,3 м^3/ч"));
    EXPECT_EQ(header.rows[3].cells[0].Text(), QStringLiteral("Наибольший расход теплоносителя Gmax=75 м^3/ч"));
    EXPECT_EQ(header.rows[1].cells[0].Text(), QStringLiteral("Поключен к абоненту №: A-17"));
    EXPECT_EQ(header.rows[1].cells[1].Text(), QStringLiteral("Тип теплосчетчика: QST-99M 5.4.4"));

    const DocxTable &data = *t[1];
    EXPECT_TRUE(data.bordered);
    ASSERT_EQ(data.gridWidths.size(), 13);
    // Two heading rows, 12 days, totals and means; no empty row at the change of month.
    ASSERT_EQ(data.rows.size(), 2 + 12 + 2);
    for (int r = 2; r < 14; ++r)
        EXPECT_EQ(data.rows[r].cells[0].Text(), DateText(QDate(2010, 1, 25).addDays(r - 2))) << r;
    // Row 1: date and heat each span two rows; then 4, 3, 2 and 2 columns.
    const DocxRow &top = data.rows[0];
    ASSERT_EQ(top.cells.size(), 6);
    const int spans[] = {1, 1, 4, 3, 2, 2};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(top.cells[c].gridSpan, spans[c]) << c;
    EXPECT_EQ(top.cells[0].vMerge, QStringLiteral("restart"));
    EXPECT_EQ(top.cells[1].vMerge, QStringLiteral("restart"));
    EXPECT_EQ(data.rows[1].cells[0].vMerge, QStringLiteral("continue"));
    EXPECT_EQ(data.rows[1].cells[1].vMerge, QStringLiteral("continue"));
    EXPECT_EQ(top.cells[1].Text(), QStringLiteral("Тепловая энергия по показаниям теплосчетчика за сутки, Qи, ГКал"));
    EXPECT_EQ(top.cells[2].Text(), QStringLiteral("Масса теплоносителя за сутки, М, т(м^3)"));
    EXPECT_EQ(top.cells[5].Text(), QStringLiteral("Время, ч"));
    EXPECT_EQ(top.cells[2].alignment, 1);
    const QStringList labels = RowTexts(data.rows[1]);
    EXPECT_EQ(labels[2], QStringLiteral("Подающий трубопровод М1"));
    EXPECT_EQ(labels[4], QStringLiteral("+dМ"));
    EXPECT_EQ(labels[7], QStringLiteral("Обратный трубопровод t2"));
    EXPECT_EQ(labels[8], QStringLiteral("Разность температур dt=t1-t2"));
    EXPECT_EQ(labels[9], QStringLiteral("Подающий"));
    EXPECT_EQ(labels[11], QStringLiteral("Траб"));
    EXPECT_EQ(data.rows[1].cells[12].paragraphs,
              (QStringList{QStringLiteral("Тнc="), QStringLiteral("Tmax+Tmin+"), QStringLiteral("+Tdt+Tош")}));
    EXPECT_EQ(data.rows[1].cells[3].alignment, 1);
    // 5 kgf/cm2 is 0,49 MPa; 4 is 0,39; the totals row's empty pressure stays empty.
    EXPECT_EQ(data.rows[2].cells[9].Text(), QStringLiteral("0,49"));
    EXPECT_EQ(data.rows[2].cells[10].Text(), QStringLiteral("0,39"));
    EXPECT_EQ(data.rows[14].cells[9].Text(), QString());

    const QStringList body = BodyTexts(d);
    EXPECT_TRUE(body.contains(QStringLiteral("Топ = Траб + Тmax + Тmin + Тdt + Тош")));
    EXPECT_TRUE(body.contains(QStringLiteral("Время отчетного периода Т,ч 288")));
    EXPECT_TRUE(body.contains(QStringLiteral("Время работы теплосчетчика Т,ч 288")));
    // Version 1 with an hourly volume of 1 m3/h between Gmin and Gmax: no flow-limit hours.
    EXPECT_TRUE(body.contains(QStringLiteral("Топ = 288+0+0+0+0"))) << body.join(u'|').toStdString();
    EXPECT_EQ(body.last(), QStringLiteral("Представитель теплоснабжающей организации "
                                          "_______________________________________"));

    const DocxTable &readings = *t[2];
    ASSERT_EQ(readings.rows.size(), 6);
    EXPECT_EQ(readings.gridWidths.size(), 4);
    EXPECT_EQ(readings.rows[0].cells[0].Text(), QStringLiteral("Показания интеграторов"));
    EXPECT_EQ(readings.rows[1].cells[0].Text(), QStringLiteral("Тепловая энегрия, ГКал"));
    // No history: the cumulative readings are the period's totals.
    EXPECT_EQ(readings.rows[1].cells[2].Text(), QStringLiteral("24"));
    EXPECT_EQ(readings.rows[4].cells[2].Text(), QStringLiteral("288"));
}

TEST(StatementDocument, ClassAndHeatSystemTwoLabels)
{
    ReportFixture f;
    PutStatementPeriod(f);
    ReportOptions o;
    o.meter = Meter();
    o.meter.measuringClass = 1;
    o.selection = f.Selection(kDailyReport, QDate(2010, 1, 25), QDate(2010, 1, 26), {}, kHeatSystem2);
    const DocxDocument d = Build(o, true);
    const QList<const DocxTable *> t = d.Tables();
    ASSERT_EQ(t.size(), 3);
    EXPECT_EQ(t[0]->rows[3].cells[0].Text(), QStringLiteral("Наибольший расход теплоносителя Gmax=150 м^3/ч"));
    // Heat system 2 keeps the short labels of masses, temperatures and pressures.
    const QStringList labels = RowTexts(t[1]->rows[1]);
    EXPECT_EQ(labels[2], QStringLiteral("M3 тонн"));
    EXPECT_EQ(labels[9], QStringLiteral("P3 кгс/см^2"));
    EXPECT_EQ(labels[11], QStringLiteral("Траб"));
}

TEST(StatementDocument, ColdWaterSelectionBecomesHeatSystemOne)
{
    ReportFixture f;
    PutStatementPeriod(f);
    ReportOptions o;
    o.meter = Meter();
    o.selection = f.Selection(kHourlyReport, QDate(2010, 1, 25), QDate(2010, 1, 26), {0}, kColdWater);
    const DocxDocument d = Build(o, true);
    ASSERT_EQ(d.Tables().size(), 3);
    EXPECT_TRUE(d.Tables()[0]->rows[3].cells[1].Text().startsWith(QStringLiteral("Тепловая система: TC 1 (")));
    EXPECT_EQ(d.Tables()[1]->gridWidths.size(), 13);
}

namespace {

double Number(const QString &text)
{
    double value = 0;
    EXPECT_TRUE(TryParseReal(text, &value)) << text.toStdString();
    return value;
}

} // namespace

// One figure, one value: the integrator table's hours are the data table's totals, for both
// versions, with a stop topped up to a full day and a day without records.
TEST(StatementDocument, IntegratorHoursAgreeWithTheTable)
{
    const struct
    {
        int version;
        bool missingDay; // the period starts on 28 February, which has no record
        const char *downtime;
        double work, stop;
    } cases[] = {
        // Version 1: two hours below Gmin reduce operating time by the table's rule.
        {1, false, "Топ = 18+0+2+0+4", 18, 6},
        {1, true, "Топ = 18+0+2+0+28", 18, 30},
        // Version 2: the calculator's counters: 20 h normal, 1 h below Gmin, 0,5 h above Gmax,
        // 0,5 h power failure; the two hours it counted nowhere and the missing day join the last.
        {2, false, "Топ = 20+0,5+1+0+2,5", 20, 4},
        {2, true, "Топ = 20+0,5+1+0+26,5", 20, 28},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version * 10 + c.missingDay);
        ReportFixture f;
        // 28 February has no record; 1 March: 20 operating and 1 stop hour.
        f.Put(kDailyArchive, {At(2010, 3, 1), 1, 0, 0, 0, 0, 0, 0, 0, 0, 20, 1}, c.version);
        for (int h = 0; h < 24; ++h) {
            ArchiveValues a;
            a.time = At(2010, 3, 1, h);
            a.F[6] = h < 2 ? 0.1f : 1.f; // V1: Gmin is 0,3 for DU 50
            a.F[27] = h < 20 ? 60 : 0;   // Тшт
            a.F[28] = h == 20 ? 60 : 0;  // Тmin
            a.F[29] = h == 21 ? 30 : 0;  // Тmax
            a.F[31] = h == 21 ? 30 : 0;  // Тэп
            SaveArchiveLine(f.target, c.version, 100, true, 0, kHourlyArchive, a);
        }
        // Readings at the period's bounds: the calculator counted 20 and 1 hours.
        for (const auto &[time, work, stop] :
             {std::tuple{At(2010, 2, 28), 100, 10}, {At(2010, 3, 1), 100, 10}, {At(2010, 3, 2), 120, 11}}) {
            CurrentValues v;
            v.time = time;
            v.F[21] = 60.f * work;
            v.F[22] = 60.f * stop;
            SaveCurrentValues(f.target, c.version, 100, true, v);
        }
        ReportOptions o;
        o.meter = Meter();
        o.selection = f.Selection(kDailyReport, c.missingDay ? QDate(2010, 2, 28) : QDate(2010, 3, 1),
                                  QDate(2010, 3, 1));
        const DocxDocument d = Build(o, true);
        const QList<const DocxTable *> t = d.Tables();
        ASSERT_EQ(t.size(), 3);
        const DocxTable &data = *t[1];
        const int days = c.missingDay ? 2 : 1;
        ASSERT_EQ(data.rows.size(), 2 + days + 2);
        if (c.missingDay) {
            EXPECT_EQ(data.rows[2].cells[0].Text(), QStringLiteral("28.02.2010"));
            EXPECT_EQ(data.rows[2].cells[1].Text(), QStringLiteral("нет данных"));
            EXPECT_EQ(data.rows[2].cells[12].Text(), QStringLiteral("24,00"));
        }
        const DocxRow &total = data.rows[2 + days];
        ASSERT_EQ(total.cells[0].Text(), QStringLiteral("Итого"));
        EXPECT_EQ(Number(total.cells[11].Text()), c.work);
        EXPECT_EQ(Number(total.cells[12].Text()), c.stop);

        const DocxTable &readings = *t[2];
        ASSERT_EQ(readings.rows.size(), 6);
        EXPECT_EQ(Number(readings.rows[4].cells[3].Text()), c.work) << "Траб";
        EXPECT_EQ(Number(readings.rows[5].cells[3].Text()), c.stop) << "Время неработы";
        EXPECT_EQ(Number(readings.rows[4].cells[1].Text()), 100) << "the previous reading is the calculator's";
        EXPECT_EQ(Number(readings.rows[4].cells[2].Text()), 100 + c.work);
        EXPECT_EQ(Number(readings.rows[5].cells[2].Text()), 10 + c.stop);

        const QStringList body = BodyTexts(d);
        EXPECT_TRUE(body.contains(QStringLiteral("Время отчетного периода Т,ч ") + QString::number(24 * days)))
            << body.join(u'|').toStdString();
        EXPECT_TRUE(body.contains(QString::fromUtf8(c.downtime))) << body.join(u'|').toStdString();
    }
}

// What the report tells the operator: portrait columns too narrow for the numbers even at 6 pt
// (landscape fits them), and control characters printed as blanks.
TEST(ProtocolDocument, NotesForNarrowColumnsAndControlCharacters)
{
    ReportFixture f;
    for (int h = 0; h < 24; ++h)
        f.Put(kHourlyArchive, {At(2010, 3, 1, h), 1322.927f, 12345.678f, 12345.678f, 12345.678f, 12345.678f, 70, 50,
                               5, 4, 1, 0, 0, 0});
    f.Put(kHourlyArchive, {At(2010, 3, 2), 1});
    QList<int> every;
    for (int i = 0; i < 17; ++i)
        every.append(i);
    ReportOptions o;
    o.meter = Meter(); // its name holds one control character
    o.selection = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), every);
    TWordDocument portrait;
    ASSERT_TRUE(BuildProtocolReport(o, portrait).isEmpty());
    EXPECT_EQ(portrait.Notes(), (QStringList{QStringLiteral("Числа не помещаются в узкие столбцы таблицы даже "
                                                           "шрифтом 6 пт и будут перенесены; выберите альбомную "
                                                           "ориентацию или меньше столбцов."),
                                             QStringLiteral("Управляющие символы в тексте заменены пробелами: 1.")}));
    o.orientation = 1;
    TWordDocument landscape;
    ASSERT_TRUE(BuildProtocolReport(o, landscape).isEmpty());
    EXPECT_EQ(landscape.Notes().size(), 1);
    // Landscape fits the 20 columns' widest total, "296296,272", at 6 pt with narrow cell margins.
    const DocxDocument d = ReadDocx(landscape.ToDocx());
    ASSERT_GE(d.Tables().size(), 2);
    EXPECT_EQ(d.Tables()[1]->rows[1].cells[1].fontSize, 6);

    o.meter.name = QStringLiteral("Школа");
    o.selection = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), {0});
    TWordDocument plain;
    ASSERT_TRUE(BuildProtocolReport(o, plain).isEmpty());
    EXPECT_TRUE(plain.Notes().isEmpty());
}
