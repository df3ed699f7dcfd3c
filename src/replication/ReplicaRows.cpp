#include "ReplicaRows.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "storage/ArchiveFiles.h"

#include <QDateTime>

#include <charconv>
#include <cstdio>
#include <string>
#include <cmath>

namespace qst {

namespace {

constexpr const char *kReal = "float8";
constexpr const char *kInt = "int4";

QList<ReplicaColumn> Reals(std::initializer_list<const char *> names)
{
    QList<ReplicaColumn> columns;
    for (const char *n : names)
        columns.append(ReplicaColumn{n, kReal});
    return columns;
}

QList<ReplicaColumn> Ints(std::initializer_list<const char *> names)
{
    QList<ReplicaColumn> columns;
    for (const char *n : names)
        columns.append(ReplicaColumn{n, kInt});
    return columns;
}

const QList<ReplicaColumn> &DowntimeColumns()
{
    static const QList<ReplicaColumn> columns = Reals({"tnorm1", "tmin1", "tmax1", "tdt1", "tep1", "tf1", "tnorm2",
                                                       "tmin2", "tmax2", "tdt2", "tep2", "tf2"});
    return columns;
}

QList<ReplicaColumn> ArchiveColumns()
{
    // Fields 1..45 as the archive line writes them (raw units: T5 in hundredths of a
    // degree, P5 in thousandths, times in minutes).
    QList<ReplicaColumn> c = Reals({"q1", "q2", "m1", "m2", "m3", "m4", "v1", "v2", "v3", "v4", "v5", "t1", "t2",
                                    "t3", "t4", "p1", "p2", "p3", "p4", "t5_raw", "p5_raw"});
    c += Ints({"status", "ns1", "ns2", "ns3", "ns4", "ns5"});
    c += Reals({"tw1", "ts1", "tw2", "ts2", "tw3", "ts3"});
    c += DowntimeColumns();
    return c;
}

QList<ReplicaColumn> HistoryColumns()
{
    QList<ReplicaColumn> c = Reals({"t11", "t12", "t21", "t22", "t5", "t6", "p11", "p12", "p21", "p22", "q1", "q2",
                                    "m11", "m12", "m21", "m22", "v11", "v12", "v21", "v22", "v3", "g1", "g2", "fm11",
                                    "fm12", "fm21", "fm22", "fv11", "fv12", "fv21", "fv22", "fv3"});
    c += Ints({"ns1", "ns2", "ns3", "ns4", "ns5"});
    c += Reals({"tw1", "ts1", "tw2", "ts2", "tw3", "ts3"});
    c += DowntimeColumns();
    return c;
}

QList<ReplicaTable> MakeTables()
{
    // The node is part of every key: two pollers holding one serial (a typing error, a
    // replaced calculator) keep their own rows instead of overwriting each other's.
    const QStringList timeKey = {QStringLiteral("time"), QStringLiteral("node")};
    return {
        {FedKind::History, "current_history", HistoryColumns(), timeKey},
        {FedKind::Hourly, "hourly", ArchiveColumns(), timeKey},
        {FedKind::Daily, "daily", ArchiveColumns(), timeKey},
        {FedKind::Monthly, "monthly", ArchiveColumns(), timeKey},
        {FedKind::Journal,
         "journal",
         {{"text", "text"}, {"old_value", "text"}, {"new_value", "text"}},
         {QStringLiteral("time"), QStringLiteral("text"), QStringLiteral("old_value"), QStringLiteral("new_value"),
          QStringLiteral("node")}},
    };
}

const QList<ReplicaTable> &Tables()
{
    static const QList<ReplicaTable> tables = MakeTables();
    return tables;
}

} // namespace

const ReplicaTable &TableOf(FedKind kind)
{
    for (const ReplicaTable &t : Tables()) {
        if (t.kind == kind)
            return t;
    }
    return Tables()[1];
}

const QList<FedKind> &AllFedKinds()
{
    static const QList<FedKind> kinds = {FedKind::History, FedKind::Hourly, FedKind::Daily, FedKind::Monthly,
                                         FedKind::Journal};
    return kinds;
}

int ParameterCount(const ReplicaTable &table)
{
    return int(table.fieldColumns.size()) + 4; // serial, time, fields, line, node
}

bool TimestampText(double dayCount, QByteArray *text)
{
    // The calendar the files can name (years 1..9999); TimeKey's rounding to the second.
    if (!std::isfinite(dayCount) || dayCount < -693593.0 || dayCount >= 2958466.0)
        return false;
    const qint64 key = TimeKey(dayCount);
    if (key <= 0)
        return false;
    const int second = int(key % 100), minute = int(key / 100 % 100), hour = int(key / 10000 % 100);
    const int day = int(key / 1000000 % 100), month = int(key / 100000000 % 100), year = int(key / 10000000000);
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                                second);
    *text = QByteArray(buffer, n);
    return true;
}

namespace {

// COPY's text format of one value: backslash, tab, line feed and carriage return escaped.
template <class Out>
void AppendEscaped(Out &out, const char *data, qsizetype size)
{
    const char *run = data;
    const char *const end = data + size;
    for (const char *p = run; p < end; ++p) {
        const char c = *p;
        if (c != '\\' && c != '\t' && c != '\n' && c != '\r')
            continue;
        out.append(run, p - run);
        const char escape[2] = {'\\', c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : 'r'};
        out.append(escape, 2);
        run = p + 1;
    }
    out.append(run, end - run);
}

// A row's values in column order, as parameters.
struct RowSink
{
    QList<std::optional<QByteArray>> *values;
    void Value(const char *data, qsizetype size) { values->append(QByteArray(data, size)); }
    void Value(const QByteArray &bytes) { values->append(bytes); }
    void Null() { values->append(std::nullopt); }
};

// The same as one line of COPY's text format, gathered in a buffer of its own and appended
// whole: a year of one meter is half a million values.
struct CopySink
{
    std::string line;
    void Value(const char *data, qsizetype size)
    {
        if (!line.empty())
            line += '\t';
        AppendEscaped(line, data, size);
    }
    void Value(const QByteArray &bytes) { Value(bytes.constData(), bytes.size()); }
    void Null()
    {
        if (!line.empty())
            line += '\t';
        line += "\\N";
    }
};

// The one rule from a line to a row, whatever receives the values: serial, time, the field
// columns, line, node. Fails with a reason for a line no row can hold.
template <class Sink>
bool ConvertRecord(const FedRecord &record, const QByteArray &nodeUtf8, Sink &sink, QByteArray *key,
                   QByteArray *stamp, QString *reason)
{
    const ReplicaTable &table = TableOf(record.kind);
    const QList<QStringView> fields = SplitFields(record.line);
    char number[32];
    const std::to_chars_result serial = std::to_chars(number, number + sizeof number, record.serial);
    sink.Value(number, serial.ptr - number);
    double time = 0;
    if (fields.isEmpty() || !TryParseReal(fields[0], &time)) {
        *reason = QStringLiteral("the time field does not convert");
        return false;
    }
    if (!TimestampText(time, stamp)) {
        *reason = QStringLiteral("the time %1 is outside the calendar").arg(fields[0].toString());
        return false;
    }
    sink.Value(*stamp);
    key->reserve(serial.ptr - number + 1 + stamp->size());
    key->append(number, serial.ptr - number).append(' ').append(*stamp);
    const bool journal = record.kind == FedKind::Journal;
    for (qsizetype i = 0; i < table.fieldColumns.size(); ++i) {
        const qsizetype f = i + 1;
        if (f >= fields.size()) {
            // A journal line always has its three texts, empty or not: they are its key.
            if (journal)
                sink.Value("", 0);
            else
                sink.Null();
            continue;
        }
        const ReplicaColumn &c = table.fieldColumns[i];
        if (qstrcmp(c.type, "text") == 0) {
            const QByteArray text = fields[f].toUtf8();
            sink.Value(text);
            key->append('\t').append(text);
        } else if (qstrcmp(c.type, kInt) == 0) {
            qint64 v = 0;
            if (!TryParseInt(fields[f], &v)) {
                *reason = QStringLiteral("field %1 (%2) is not a whole number: %3")
                              .arg(f)
                              .arg(QLatin1String(c.name), fields[f].toString());
                return false;
            }
            const std::to_chars_result r = std::to_chars(number, number + sizeof number, v);
            sink.Value(number, r.ptr - number);
        } else {
            double v = 0;
            if (!TryParseReal(fields[f], &v) || !std::isfinite(v)) {
                *reason = QStringLiteral("field %1 (%2) is not a number: %3")
                              .arg(f)
                              .arg(QLatin1String(c.name), fields[f].toString());
                return false;
            }
            // The shortest text that reads back as the same double.
            const std::to_chars_result r = std::to_chars(number, number + sizeof number, v);
            sink.Value(number, r.ptr - number);
        }
    }
    sink.Value(record.line.toUtf8());
    sink.Value(nodeUtf8);
    return true;
}

} // namespace

bool MakeReplicaRow(const FedRecord &record, const QString &node, ReplicaRow *row, QString *reason)
{
    row->kind = record.kind;
    row->values.clear();
    row->values.reserve(ParameterCount(TableOf(record.kind)));
    row->key.clear();
    RowSink sink{&row->values};
    QByteArray stamp;
    return ConvertRecord(record, node.toUtf8(), sink, &row->key, &stamp, reason);
}

bool AppendCopyRow(const FedRecord &record, const QByteArray &nodeUtf8, QByteArray *copyText, QByteArray *key,
                   QByteArray *stamp, QString *reason)
{
    thread_local CopySink sink;
    sink.line.clear();
    key->clear();
    if (!ConvertRecord(record, nodeUtf8, sink, key, stamp, reason))
        return false;
    sink.line += '\n';
    copyText->append(sink.line.data(), qsizetype(sink.line.size()));
    return true;
}

namespace {

QList<ReplicaColumn> RowColumns(const ReplicaTable &table)
{
    QList<ReplicaColumn> columns = {{"serial", kInt}, {"time", "timestamp"}};
    columns += table.fieldColumns;
    columns.append(ReplicaColumn{"line", "text"});
    columns.append(ReplicaColumn{"node", "text"});
    return columns;
}

// "serial,time,...,line,node": a row's columns in order.
QByteArray ColumnList(const ReplicaTable &table)
{
    const QList<ReplicaColumn> columns = RowColumns(table);
    QByteArray list;
    for (qsizetype i = 0; i < columns.size(); ++i)
        list += (i ? "," : "") + QByteArray(columns[i].name);
    return list;
}

QByteArray InsertHead(const ReplicaTable &table)
{
    return "INSERT INTO " + QByteArray(table.name) + " AS r (" + ColumnList(table) + ") ";
}

QByteArray ConflictClause(const ReplicaTable &table)
{
    const QList<ReplicaColumn> columns = RowColumns(table);
    QByteArray sql = " ON CONFLICT (serial";
    for (const QString &k : table.keyColumns)
        sql += ',' + k.toLatin1();
    sql += ") DO UPDATE SET ";
    bool first = true;
    for (qsizetype i = 2; i < columns.size(); ++i) {
        const QByteArray name(columns[i].name);
        if (table.keyColumns.contains(QString::fromLatin1(name)))
            continue;
        sql += (first ? "" : ",") + name + "=EXCLUDED." + name;
        first = false;
    }
    sql += ",stored_at=now() WHERE r.line IS DISTINCT FROM EXCLUDED.line";
    return sql;
}

QByteArray StagingName(const ReplicaTable &table)
{
    return "qst_stage_" + QByteArray(table.name);
}

} // namespace

QByteArray UpsertStatement(const ReplicaTable &table)
{
    const QList<ReplicaColumn> columns = RowColumns(table);
    // One array per column: the statement stays the same size whatever the batch.
    QByteArray sql = InsertHead(table) + "SELECT * FROM unnest(";
    for (qsizetype i = 0; i < columns.size(); ++i)
        sql += (i ? ",$" : "$") + QByteArray::number(i + 1) + "::" + columns[i].type + "[]";
    return sql + ")" + ConflictClause(table);
}

QByteArray StagingTableStatement(const ReplicaTable &table)
{
    const QList<ReplicaColumn> columns = RowColumns(table);
    QByteArray sql = "CREATE TEMPORARY TABLE IF NOT EXISTS " + StagingName(table) + " (";
    for (qsizetype i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + QByteArray(columns[i].name) + ' ' + columns[i].type;
    return sql + ") ON COMMIT DELETE ROWS";
}

QByteArray CopyStatement(const ReplicaTable &table)
{
    return "COPY " + StagingName(table) + " FROM STDIN";
}

QByteArray DirectCopyStatement(const ReplicaTable &table)
{
    return "COPY " + QByteArray(table.name) + " (" + ColumnList(table) + ") FROM STDIN";
}

QByteArray RangeProbeStatement(const ReplicaTable &table)
{
    return "SELECT EXISTS (SELECT 1 FROM unnest($1::integer[], $2::timestamp[], $3::timestamp[]) AS s(serial, first, last) "
           "JOIN " + QByteArray(table.name) + " t ON t.serial = s.serial AND t.time BETWEEN s.first AND s.last)";
}

QByteArray UpsertFromStagingStatement(const ReplicaTable &table)
{
    return InsertHead(table) + "SELECT * FROM " + StagingName(table) + ConflictClause(table);
}

void AppendCopyValue(QByteArray *out, const QByteArray &value)
{
    AppendEscaped(*out, value.constData(), value.size());
}

QByteArray CopyText(const QList<ReplicaRow> &rows, qsizetype from, qsizetype count)
{
    QByteArray text;
    text.reserve(count * 512);
    for (qsizetype r = from; r < from + count; ++r) {
        const QList<std::optional<QByteArray>> &values = rows[r].values;
        for (qsizetype c = 0; c < values.size(); ++c) {
            if (c)
                text += '\t';
            if (values[c])
                AppendCopyValue(&text, *values[c]);
            else
                text += "\\N";
        }
        text += '\n';
    }
    return text;
}

QList<QByteArray> ArrayParameters(const ReplicaTable &table, const QList<ReplicaRow> &rows, qsizetype from,
                                  qsizetype count)
{
    QList<QByteArray> arrays(ParameterCount(table), QByteArray("{"));
    for (qsizetype r = from; r < from + count; ++r) {
        const ReplicaRow &row = rows[r];
        for (qsizetype c = 0; c < arrays.size(); ++c) {
            QByteArray &a = arrays[c];
            if (r > from)
                a += ',';
            const std::optional<QByteArray> &v = row.values[c];
            if (!v) {
                a += "NULL";
            } else if (c == 0 || (c >= 2 && c < arrays.size() - 2 && qstrcmp(table.fieldColumns[c - 2].type, "text") != 0)) {
                a += *v; // numbers need no quotes
            } else {
                a += '"';
                for (char ch : *v) {
                    if (ch == '"' || ch == '\\')
                        a += '\\';
                    a += ch;
                }
                a += '"';
            }
        }
    }
    for (QByteArray &a : arrays)
        a += '}';
    return arrays;
}

QList<QByteArray> SchemaStatements()
{
    QList<QByteArray> s;
    s.append("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL, "
             "applied_at timestamptz NOT NULL DEFAULT now())");
    s.append("CREATE TABLE IF NOT EXISTS meters (node text NOT NULL, serial integer NOT NULL, "
             "meter_number integer NOT NULL, name text NOT NULL, group_path text NOT NULL, address integer, "
             "port integer, device_version integer, modem boolean NOT NULL DEFAULT false, "
             "registry_keys jsonb NOT NULL, updated_at timestamptz NOT NULL DEFAULT now(), "
             "PRIMARY KEY (node, serial))");
    s.append("CREATE INDEX IF NOT EXISTS meters_serial ON meters (serial)");
    for (const ReplicaTable &t : Tables()) {
        QByteArray sql = "CREATE TABLE IF NOT EXISTS " + QByteArray(t.name) +
                         " (serial integer NOT NULL, time timestamp NOT NULL";
        for (const ReplicaColumn &c : t.fieldColumns) {
            const bool text = qstrcmp(c.type, "text") == 0;
            sql += ", " + QByteArray(c.name) + ' ' + (text ? "text NOT NULL" : qstrcmp(c.type, kInt) == 0 ? "integer" : "double precision");
        }
        sql += ", line text NOT NULL, node text NOT NULL, stored_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (serial";
        for (const QString &k : t.keyColumns)
            sql += ',' + k.toLatin1();
        sql += "))";
        s.append(sql);
        // "What did this poller send lately": the dashboards' second question.
        s.append("CREATE INDEX IF NOT EXISTS " + QByteArray(t.name) + "_node_stored ON " + QByteArray(t.name) +
                 " (node, stored_at)");
    }
    return s;
}

QList<QByteArray> MigrationStatements(int fromVersion)
{
    QList<QByteArray> s;
    if (fromVersion >= 2)
        return s;
    // Version 1 keyed the record tables by serial alone: the node joins the key. Every row
    // of a version-1 table is unique by serial already, so the new key holds at once.
    for (const ReplicaTable &t : Tables()) {
        const QByteArray name(t.name);
        QByteArray key = "serial";
        for (const QString &k : t.keyColumns)
            key += ',' + k.toLatin1();
        s.append("DO $$ DECLARE k text; BEGIN "
                 "SELECT conname INTO k FROM pg_constraint WHERE conrelid = '" + name + "'::regclass AND contype = 'p'; "
                 "IF k IS NOT NULL THEN EXECUTE format('ALTER TABLE " + name + " DROP CONSTRAINT %I', k); END IF; "
                 "ALTER TABLE " + name + " ADD PRIMARY KEY (" + key + "); END $$");
    }
    return s;
}

} // namespace qst
