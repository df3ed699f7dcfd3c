// The meters' resources: the list with health, a meter's columns and records, its documents
// and exports. The router has checked the caller sees the meter before any of these runs.
#include "web/JsonNumber.h"
#include "web/WebInternal.h"
#include "web/WebTexts.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "reports/CurrentValues.h"
#include "reports/OfficeConversion.h"
#include "reports/ReportRequest.h"
#include "reports/TableExport.h"
#include "reports/WordDocument.h"
#include "storage/ArchiveView.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace qst::web {

namespace {

constexpr int kMaxHourlyDays = 400;

// "2026-12-10T13:00:00" from a day count, as the files hold it; empty when impossible.
QByteArray IsoTime(double dayCount)
{
    QDate date;
    QTime time;
    if (!SplitDayCount(dayCount, &date, &time))
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", date.year(), date.month(), date.day(),
        time.hour(), time.minute(), time.second());
    return QByteArray(text);
}

// The same written straight into a reply, without a string of its own per record.
void AppendIsoTime(std::string &out, double dayCount)
{
    QDate date;
    QTime time;
    if (!SplitDayCount(dayCount, &date, &time))
        return;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", date.year(), date.month(),
        date.day(), time.hour(), time.minute(), time.second());
    out.append(text, n);
}

QJsonValue IsoOrNull(double dayCount)
{
    const QByteArray text = dayCount > 0 ? IsoTime(dayCount) : QByteArray();
    return text.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(text));
}

QJsonObject MeterJson(const MeterSummaryRow &r, const QStringList &groupPath)
{
    return QJsonObject {
        { QStringLiteral("serial"), int(r.serial) },
        { QStringLiteral("name"), r.name },
        { QStringLiteral("meter"), r.meter },
        { QStringLiteral("group"), groupPath.isEmpty() ? QString() : groupPath.last() },
        { QStringLiteral("groupPath"), QJsonArray::fromStringList(groupPath) },
        { QStringLiteral("lastAnswer"), IsoOrNull(r.status.lastAnswer) },
        { QStringLiteral("newestHourly"), IsoOrNull(r.newest[0]) },
        { QStringLiteral("missingHours"), double(r.missingHours31) },
        { QStringLiteral("ns"), r.nsFlags },
        { QStringLiteral("nsText"), r.nsFlags ? texts::kNsPresent : QString() },
        { QStringLiteral("overdue"), r.overdue },
        { QStringLiteral("failureText"), r.status.failureText },
    };
}

// Every meter of the tree with its health, in the tree's display order.
MeterSnapshot BuildSnapshot(const QString &dataRoot)
{
    Registry registry(TreeIniPath(dataRoot));
    const TreeModel tree = BuildTreeModel(registry, false);
    MeterHealth health(dataRoot);
    QHash<int, MeterSummaryRow> rows;
    for (const MeterSummaryRow &row :
        BuildMeterSummary(dataRoot, registry, health, DayCountFromDateTime(QDateTime::currentDateTime())))
        rows.insert(row.meter, row);
    MeterSnapshot snapshot;
    QSet<int> listed;
    snapshot.allJson = "[";
    for (int index : tree.DisplayOrder()) {
        const TreeNode &node = tree.nodes[index];
        if (node.IsGroup() || !rows.contains(node.data) || listed.contains(node.data))
            continue;
        listed.insert(node.data);
        MeterListEntry entry { rows.value(node.data), {}, {}, {} };
        for (int parent = node.parent; parent > 0; parent = tree.nodes[parent].parent) {
            entry.groupPath.prepend(tree.nodes[parent].caption);
            entry.groups.append(tree.nodes[parent].data);
        }
        entry.json = QJsonDocument(MeterJson(entry.row, entry.groupPath)).toJson(QJsonDocument::Compact);
        if (snapshot.allJson.size() > 1)
            snapshot.allJson += ',';
        snapshot.allJson += entry.json;
        snapshot.entries.append(entry);
    }
    snapshot.allJson += ']';
    return snapshot;
}

bool AccountHas(const Account &account, const MeterListEntry &entry)
{
    if (account.role != Role::Consumer || account.meters.contains(entry.row.serial))
        return true;
    for (int group : entry.groups) {
        if (account.groups.contains(group))
            return true;
    }
    return false;
}

std::shared_ptr<const MeterSnapshot> Snapshot(Call &c)
{
    return CurrentMeters(c.services);
}

void ListMeters(Call &c)
{
    const std::shared_ptr<const MeterSnapshot> snapshot = Snapshot(c);
    if (c.caller.account.role != Role::Consumer)
        return SendJson(c.res, 200, snapshot->allJson);
    QByteArray out = "[";
    for (const MeterListEntry &e : snapshot->entries) {
        if (!AccountHas(c.caller.account, e))
            continue;
        if (out.size() > 1)
            out += ',';
        out += e.json;
    }
    out += ']';
    SendJson(c.res, 200, out);
}

void OneMeter(Call &c)
{
    const std::shared_ptr<const MeterSnapshot> snapshot = Snapshot(c);
    for (const MeterListEntry &e : snapshot->entries) {
        if (e.row.serial == c.serial)
            return SendJson(c.res, 200, e.json);
    }
    SendApiError(c.res, 404, texts::kNotFound);
}

// The current-values page as rows; a meter never read has no time and no rows.
void Current(Call &c)
{
    int meter = -1;
    for (const MeterListEntry &e : Snapshot(c)->entries) {
        if (e.row.serial == c.serial)
            meter = e.row.meter;
    }
    if (meter < 0)
        return SendApiError(c.res, 404, texts::kNotFound);
    const QString &root = c.services.options.dataRoot;
    Registry registry(TreeIniPath(root));
    const CurrentValuesView view = LoadCurrentValuesView(root, registry, meter);
    const QDateTime time = CurrentValuesTime(view);
    QJsonArray rows;
    for (const CurrentValueLine &line : CurrentValueLines(view)) {
        rows.append(QJsonObject { { QStringLiteral("group"), line.group }, { QStringLiteral("name"), line.name },
            { QStringLiteral("value"), line.value } });
    }
    const QJsonObject body {
        { QStringLiteral("time"),
            time.isValid() ? QJsonValue(time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))) : QJsonValue() },
        { QStringLiteral("rows"), rows },
    };
    SendJson(c.res, 200, QJsonDocument(body));
}

// A column of the records: a key for scripts, the page's title, its table (1, 2, 3 cold water).
struct RecordColumn
{
    const char *key;
    int table;
    ArchiveColumn column;
    int decimals; // as the page shows it; -1 an integer
};

const char *FieldKey(const ArchiveColumn &column)
{
    static const QHash<int, const char *> keys = { { 1, "q1" }, { 2, "q2" }, { 3, "m1" }, { 4, "m2" }, { 5, "m3" },
        { 6, "m4" }, { 7, "v1" }, { 8, "v2" }, { 9, "v3" }, { 10, "v4" }, { 11, "v5" }, { 12, "t1" }, { 13, "t2" },
        { 14, "t3" }, { 15, "t4" }, { 16, "p1" }, { 17, "p2" }, { 18, "p3" }, { 19, "p4" }, { 20, "t5" }, { 21, "p5" },
        { 23, "ns1" }, { 24, "ns2" }, { 25, "ns3" }, { 26, "ns4" }, { 27, "ns5" }, { 28, "hw1" }, { 29, "hs1" },
        { 30, "hw2" }, { 31, "hs2" }, { 32, "hw3" }, { 33, "hs3" } };
    if (column.minusField > 0)
        return column.field == 12 ? "dt12" : "dt34";
    return keys.value(column.field, "x");
}

int PatternDecimals(const char16_t *pattern)
{
    if (pattern == nullptr)
        return -1;
    const QString text = QString::fromUtf16(pattern);
    const qsizetype dot = text.indexOf(u'.');
    return dot < 0 ? 0 : int(text.size() - dot - 1);
}

const QList<RecordColumn> &RecordColumns()
{
    static const QList<RecordColumn> columns = [] {
        QList<RecordColumn> list;
        const ArchiveTable tables[] = { ArchiveTable::HeatSystem1, ArchiveTable::HeatSystem2, ArchiveTable::ColdWater };
        for (int t = 0; t < 3; ++t) {
            for (const ArchiveColumn &column : ArchiveColumns(tables[t])) {
                if (column.field == 0)
                    continue;
                list.append({ FieldKey(column), t + 1, column, PatternDecimals(column.pattern) });
            }
        }
        return list;
    }();
    return columns;
}

bool ParseKind(const QString &text, int *kind, bool statementToo = false)
{
    static const QStringList kinds = { QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
        QStringLiteral("journal"), QStringLiteral("statement") };
    *kind = int(kinds.indexOf(text));
    return *kind >= 0 && (statementToo || *kind < 4);
}

void Columns(Call &c)
{
    int kind = 0;
    if (!ParseKind(c.Param("kind"), &kind))
        return SendApiError(c.res, 400, texts::kBadRequest);
    QJsonArray array;
    if (kind == 3) {
        array.append(QJsonObject { { QStringLiteral("key"), QStringLiteral("text") },
            { QStringLiteral("title"), QStringLiteral("Событие") } });
        array.append(QJsonObject {
            { QStringLiteral("key"), QStringLiteral("old") }, { QStringLiteral("title"), QStringLiteral("Было") } });
        array.append(QJsonObject {
            { QStringLiteral("key"), QStringLiteral("new") }, { QStringLiteral("title"), QStringLiteral("Стало") } });
    } else {
        for (const RecordColumn &col : RecordColumns())
            array.append(QJsonObject { { QStringLiteral("key"), QString::fromLatin1(col.key) },
                { QStringLiteral("title"), col.column.title }, { QStringLiteral("system"), col.table },
                { QStringLiteral("decimals"), col.decimals } });
    }
    SendJson(c.res, 200, QJsonDocument(array));
}

void AppendJsonString(std::string &out, const QString &text)
{
    const QByteArray json = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    out.append(json.constData() + 1, size_t(json.size() - 2));
}

bool ParseDay(const QString &text, QDate *date)
{
    *date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    return date->isValid();
}

void Records(Call &c)
{
    int kind = 0;
    QDate from;
    QDate to;
    if (!ParseKind(c.Param("kind"), &kind) || !ParseDay(c.Param("from"), &from) || !ParseDay(c.Param("to"), &to))
        return SendApiError(c.res, 400, texts::kBadRequest);
    if (from > to || (kind == 0 && from.daysTo(to) >= kMaxHourlyDays))
        return SendApiError(c.res, 400, texts::kBadPeriod);
    qint64 offset = 0;
    qint64 limit = -1;
    const bool paged = c.HasParam("offset") || c.HasParam("limit");
    if (paged) {
        bool ok1 = true;
        bool ok2 = true;
        if (c.HasParam("offset"))
            offset = c.Param("offset").toLongLong(&ok1);
        if (c.HasParam("limit"))
            limit = c.Param("limit").toLongLong(&ok2);
        if (!ok1 || !ok2 || offset < 0 || (c.HasParam("limit") && limit < 0))
            return SendApiError(c.res, 400, texts::kBadRequest);
    }
    const QString &root = c.services.options.dataRoot;
    const QString serial = QString::number(c.serial);
    // Built where the reply's body lives: a year is 2.7 MB, not copied again.
    std::string out;
    qint64 total = 0;
    auto inPage = [&](qint64 index) { return index >= offset && (limit < 0 || index < offset + limit); };
    out += '[';
    bool first = true;
    if (kind == 3) {
        const QList<JARecord> records
            = LoadJournalRecords(root, serial, JournalPeriod(from, QTime(0, 0), to, QTime(23, 59, 59)));
        total = records.size();
        for (qint64 i = 0; i < total; ++i) {
            if (!inPage(i))
                continue;
            const JARecord &r = records[i];
            out += first ? "{\"time\":" : ",{\"time\":";
            first = false;
            const qsizetype before = qsizetype(out.size());
            out += '"';
            AppendIsoTime(out, r.time);
            if (qsizetype(out.size()) == before + 1)
                out.replace(size_t(before), 1, "null");
            else
                out += '"';
            out += ",\"text\":";
            AppendJsonString(out, r.text);
            out += ",\"old\":";
            AppendJsonString(out, r.oldValue);
            out += ",\"new\":";
            AppendJsonString(out, r.newValue);
            out += '}';
        }
    } else {
        const ArchivePageKind pageKind = ArchivePageKind(kind);
        const ArchivePeriod period = kind == 0 ? HourlyPeriod(from, QTime(0, 0), to, QTime(23, 59, 59))
            : kind == 1                        ? DailyPeriod(from, to)
                                               : MonthlyPeriod(from, to);
        const QList<ArchiveRecord> records = LoadArchiveRecords(root, serial, pageKind, period);
        total = records.size();
        const QList<RecordColumn> &columns = RecordColumns();
        // A year is some 300,000 values: each record is written into one buffer and appended once,
        // each column's ",\"key\":" made beforehand.
        QList<QByteArray> prefixes;
        qsizetype room = 0;
        for (const RecordColumn &col : columns) {
            prefixes.append(",\"" + QByteArray(col.key) + "\":");
            room += prefixes.last().size() + kJsonNumberRoom;
        }
        out.reserve(out.size() + size_t(records.size()) * 320);
        std::vector<char> buffer(static_cast<size_t>(room));
        char *const line = buffer.data();
        for (qint64 i = 0; i < total; ++i) {
            if (!inPage(i))
                continue;
            const ArchiveRecord &r = records[i];
            out += first ? "{\"time\":\"" : ",{\"time\":\"";
            first = false;
            AppendIsoTime(out, r.time);
            out += '"';
            char *at = line;
            for (qsizetype k = 0; k < columns.size(); ++k) {
                std::memcpy(at, prefixes[k].constData(), size_t(prefixes[k].size()));
                at = WriteJsonNumber(
                    at + prefixes[k].size(), ArchiveColumnValue(r, columns[k].column), columns[k].decimals);
            }
            out.append(line, at - line);
            int ns = 0;
            for (int w : r.ns)
                ns |= w;
            out += ",\"ns\":";
            out += std::to_string(ns);
            out += '}';
        }
    }
    out += ']';
    if (paged)
        c.res.set_header("X-Total-Count", std::to_string(total));
    SendJson(c.res, 200, std::move(out));
}

QString TempFolderPattern()
{
    return QDir::temp().filePath(QStringLiteral("qst-portal-XXXXXX"));
}

void Document(Call &c)
{
    int kind = 0;
    QDate from;
    QDate to;
    if (!ParseKind(c.Param("kind"), &kind, true) || !ParseDay(c.Param("from"), &from) || !ParseDay(c.Param("to"), &to))
        return SendApiError(c.res, 400, texts::kBadRequest);
    const QString format = c.HasParam("format") ? c.Param("format") : QStringLiteral("docx");
    if (format != u"docx" && format != u"pdf")
        return SendApiError(c.res, 400, texts::kBadRequest);
    ReportArguments a;
    a.statement = kind == 4;
    a.kind = a.statement ? -1 : kind;
    bool systemOk = true;
    a.systemNumber = c.HasParam("system") ? c.Param("system").toInt(&systemOk) : 1;
    // The pickers' dates carry noon, as qst-cli report takes a date.
    a.from = QDateTime(from, QTime(12, 0));
    a.to = QDateTime(to, QTime(12, 0));
    a.items = c.Param("items");
    a.landscape = c.Param("landscape") == u"1";
    a.noIntegrators = c.Param("integrators") == u"0";
    a.faults = c.Param("faults") == u"1";
    a.noBreaks = c.Param("breaks") == u"0";
    ReportOptions options;
    const QString &root = c.services.options.dataRoot;
    if (!systemOk || ReadReportArguments(a, root, c.serial, &options) != ReportArgumentError::None)
        return SendApiError(c.res, 400, texts::kBadRequest);
    if (format == u"pdf" && QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty()
        && QStandardPaths::findExecutable(QStringLiteral("libreoffice")).isEmpty())
        return SendApiError(c.res, 501, texts::kNoPdf);
    TWordDocument document;
    bool noMeter = false;
    const QString refusal = BuildReportDocument(root, c.serial, options, a.statement, document, &noMeter);
    if (noMeter)
        return SendApiError(c.res, 404, texts::kNotFound);
    if (!refusal.isEmpty())
        return SendApiError(c.res, 400, refusal);
    const QByteArray docx = document.ToDocx();
    if (docx.isEmpty())
        return SendApiError(c.res, 500, texts::kDocumentFailed);
    const QString baseName = ReportFileBaseName(options, a.statement);
    const QString what = QStringLiteral("document %1 %2 %3..%4 %5")
                             .arg(c.serial)
                             .arg(a.statement ? QStringLiteral("statement") : c.Param("kind"),
                                 from.toString(Qt::ISODate), to.toString(Qt::ISODate), format);
    if (format == u"docx") {
        c.Audit(what);
        return SendFile(c.res, docx, "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
            baseName + QStringLiteral(".docx"));
    }
    QTemporaryDir work(TempFolderPattern());
    QString converted;
    QString error;
    const QString source = work.filePath(QStringLiteral("document.docx"));
    QFile file(source);
    if (!work.isValid() || !file.open(QIODevice::WriteOnly) || file.write(docx) != docx.size() || (file.close(), false)
        || !ConvertWithOffice(source, QStringLiteral("pdf"), work.path(), &converted, &error,
            PdfTimeoutMs(document.TotalRowCount()), {})) {
        return SendApiError(c.res, 500, texts::kPdfFailed);
    }
    QFile pdf(converted);
    if (!pdf.open(QIODevice::ReadOnly))
        return SendApiError(c.res, 500, texts::kPdfFailed);
    c.Audit(what);
    SendFile(c.res, pdf.readAll(), "application/pdf", baseName + QStringLiteral(".pdf"));
}

void Export(Call &c)
{
    int kind = 0;
    QDate from;
    QDate to;
    if (!ParseKind(c.Param("kind"), &kind) || !ParseDay(c.Param("from"), &from) || !ParseDay(c.Param("to"), &to))
        return SendApiError(c.res, 400, texts::kBadRequest);
    const QString format = c.HasParam("format") ? c.Param("format") : QStringLiteral("csv");
    bool systemOk = true;
    const int system = c.HasParam("system") ? c.Param("system").toInt(&systemOk) : 1;
    if ((format != u"csv" && format != u"xlsx") || !systemOk || system < 1 || system > 3 || from > to)
        return SendApiError(c.res, 400, texts::kBadRequest);
    double start = 0;
    double end = 0;
    // As qst-cli export takes a date: from its midnight, to the end of the last day.
    ExportPeriodOf(ExportKind(kind), QDateTime(from, QTime(0, 0)), QDateTime(to, QTime(0, 0)), true, &start, &end);
    const ExportTable table = ExportArchive(
        c.services.options.dataRoot, QString::number(c.serial), ExportKind(kind), system - 1, start, end);
    QTemporaryDir work(TempFolderPattern());
    const QString path = work.filePath(QStringLiteral("export.") + format);
    QString error;
    const bool written
        = work.isValid() && (format == u"xlsx" ? WriteXlsx(table, path, &error) : WriteCsv(table, path, {}, &error));
    QFile file(path);
    if (!written || !file.open(QIODevice::ReadOnly))
        return SendApiError(c.res, 500, texts::kDocumentFailed);
    c.Audit(QStringLiteral("export %1 %2 %3..%4 %5")
                .arg(c.serial)
                .arg(c.Param("kind"), from.toString(Qt::ISODate), to.toString(Qt::ISODate), format));
    const QString name = QStringLiteral("%1 %2 %3 %4.%5")
                             .arg(c.serial)
                             .arg(c.Param("kind"), from.toString(Qt::ISODate), to.toString(Qt::ISODate), format);
    SendFile(c.res, file.readAll(),
        format == u"xlsx" ? "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
                          : "text/csv; charset=utf-8",
        name);
}

} // namespace

std::shared_ptr<const MeterSnapshot> CurrentMeters(WebServices &services)
{
    const QString root = services.options.dataRoot;
    return services.summary.Get([root] { return BuildSnapshot(root); }, services.options.clock);
}

bool CallerSeesMeter(WebServices &services, const Account &account, quint16 serial)
{
    for (const MeterListEntry &e : CurrentMeters(services)->entries) {
        if (e.row.serial == serial)
            return AccountHas(account, e);
    }
    return false;
}

std::shared_ptr<const MeterSnapshot> SummaryCache::Get(
    const std::function<MeterSnapshot()> &build, const WebClock &clock)
{
    // One builds while the others wait for its result, rather than all scanning at once.
    std::lock_guard lock(m_mutex);
    const qint64 now = clock();
    if (!m_snapshot || now - m_madeAt >= kKeepMs || now < m_madeAt) {
        m_snapshot = std::make_shared<const MeterSnapshot>(build());
        m_madeAt = now;
    }
    return m_snapshot;
}

QList<Route> MeterRoutes()
{
    return {
        { "GET", "/api/v1/meters", Role::Consumer, false, false, ListMeters },
        { "GET", "/api/v1/meters/([0-9]{1,5})", Role::Consumer, false, true, OneMeter },
        { "GET", "/api/v1/meters/([0-9]{1,5})/current", Role::Consumer, false, true, Current },
        { "GET", "/api/v1/meters/([0-9]{1,5})/columns", Role::Consumer, false, true, Columns },
        { "GET", "/api/v1/meters/([0-9]{1,5})/records", Role::Consumer, false, true, Records },
        { "GET", "/api/v1/meters/([0-9]{1,5})/document", Role::Consumer, false, true, Document },
        { "GET", "/api/v1/meters/([0-9]{1,5})/export", Role::Consumer, false, true, Export },
    };
}

} // namespace qst::web
