#include "ReplicaWriter.h"

#include "common/DataRoot.h"
#include "registry/Registry.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace qst {

namespace {

// Rows per statement: large enough that round trips do not count, small enough that one
// refused value costs little to find.
constexpr qsizetype kRowsPerStatement = 2500;

using Prepared = PreparedRecords::Kind;

PgResult InsertRows(PgConnection &c, const ReplicaTable &table, const QList<ReplicaRow> &rows, qsizetype from,
                    qsizetype count)
{
    QList<std::optional<QByteArray>> params;
    for (QByteArray &a : ArrayParameters(table, rows, from, count))
        params.append(std::move(a));
    return c.Exec(UpsertStatement(table), params);
}

// A value the database will not take, as opposed to a lost link or a failing database.
bool Refused(const PgConnection &c, const PgResult &r)
{
    return !c.LinkLost(r) && RecordRefused(r.sqlState());
}

// The rows' values on their own, for the paths that send them as parameters. The records
// converted once already, so none fails here.
QList<ReplicaRow> RowsOf(const QString &node, const Prepared &p)
{
    QList<ReplicaRow> rows(p.size());
    QString reason;
    for (qsizetype i = 0; i < p.size(); ++i)
        MakeReplicaRow(p.records[i], node, &rows[i], &reason);
    return rows;
}

// Rows from..from+count in a transaction of their own; a refused part is halved until the
// refused records are found. False when the link or the database failed (failure says why).
bool SendAlone(PgConnection &c, const ReplicaTable &table, const Prepared &p, const QList<ReplicaRow> &rows,
               qsizetype from, qsizetype count, ReplicaOutcome &out, PgResult *failure)
{
    PgResult r = InsertRows(c, table, rows, from, count);
    if (r.ok()) {
        out.written += int(count);
        return true;
    }
    if (!Refused(c, r)) {
        *failure = std::move(r);
        return false;
    }
    if (count == 1) {
        out.refused.append(p.sources[from]);
        out.refusedReasons.append(r.error());
        return true;
    }
    const qsizetype half = count / 2;
    return SendAlone(c, table, p, rows, from, half, out, failure) &&
           SendAlone(c, table, p, rows, from + half, count - half, out, failure);
}

// A batch of a kind this large first asks whether its table holds any of its meters' rows
// within its times (one index probe); when not, as in a first copy of the files, it goes
// straight in by COPY, the server's own fastest way. Small live batches skip the probe.
constexpr qsizetype kDirectCopyRows = 1000;

// Whether the rows may go straight into their table: none of their keys can be there.
// False with r failing when the probe itself failed.
bool NothingInRange(PgConnection &c, const ReplicaTable &table, const Prepared &p, bool *empty, PgResult *r)
{
    QByteArray serials = "{";
    QByteArray firsts = "{";
    QByteArray lasts = "{";
    for (const Prepared::Span &span : p.spans) {
        const char *comma = serials.size() > 1 ? "," : "";
        serials += comma + QByteArray::number(span.serial);
        firsts += comma + ('"' + span.first + '"');
        lasts += comma + ('"' + span.last + '"');
    }
    *r = c.Exec(RangeProbeStatement(table), {serials + '}', firsts + '}', lasts + '}'});
    if (!r->ok())
        return false;
    *empty = r->rows() == 1 && r->text(0, 0) == u"f";
    return true;
}

constexpr const char *kStagingMark = "staging";
constexpr const char *kNoStagingMark = "no staging";

// Makes the temporary tables once per connection. staged: whether the batches may use them;
// a database that refuses temporary tables (no TEMPORARY privilege) gets the statements
// without them. False only when the link failed.
bool StagingReady(PgConnection &c, bool *staged, PgResult *failure)
{
    *staged = c.HasSessionMark(kStagingMark);
    if (*staged || c.HasSessionMark(kNoStagingMark))
        return true;
    for (FedKind kind : AllFedKinds()) {
        PgResult r = c.Exec(StagingTableStatement(TableOf(kind)));
        if (!r.ok()) {
            if (c.LinkLost(r)) {
                *failure = std::move(r);
                return false;
            }
            c.SetSessionMark(kNoStagingMark);
            return true;
        }
    }
    c.SetSessionMark(kStagingMark);
    *staged = true;
    return true;
}

ReplicaOutcome Fail(const PgConnection &c, const PgResult &r)
{
    ReplicaOutcome out;
    out.status = c.LinkLost(r) ? ReplicaOutcome::LinkLost : ReplicaOutcome::Failed;
    out.error = r.error();
    return out;
}

ReplicaOutcome FailAndRollBack(PgConnection &c, const PgResult &r)
{
    ReplicaOutcome f = Fail(c, r);
    c.Exec("ROLLBACK");
    return f;
}

// Ends the transaction: COMMIT after a good last step, else ROLLBACK and the reason.
bool CommitOrReport(PgConnection &c, PgResult last, QString *error, bool *refused = nullptr)
{
    if (last.ok())
        last = c.Exec("COMMIT");
    if (last.ok())
        return true;
    *error = last.error();
    if (refused)
        *refused = Refused(c, last);
    c.Exec("ROLLBACK");
    return false;
}

} // namespace

bool EnsureSchema(PgConnection &c, QString *error)
{
    PgResult r = c.Exec("BEGIN");
    if (r.ok())
        r = c.Exec("SELECT pg_advisory_xact_lock(7325001)");
    if (r.ok()) {
        for (const QByteArray &sql : SchemaStatements()) {
            r = c.Exec(sql);
            if (!r.ok())
                break;
        }
    }
    if (r.ok()) {
        r = c.Exec("SELECT coalesce(max(version), 0) FROM schema_version");
        if (r.ok() && r.rows() == 1) {
            const int stored = r.text(0, 0).toInt();
            if (stored > kSchemaVersion) {
                c.Exec("ROLLBACK");
                *error = QStringLiteral("the database schema is version %1, newer than this program's %2")
                             .arg(stored)
                             .arg(kSchemaVersion);
                return false;
            }
            if (stored > 0 && stored < kSchemaVersion) {
                for (const QByteArray &sql : MigrationStatements(stored)) {
                    r = c.Exec(sql);
                    if (!r.ok())
                        break;
                }
            }
            if (r.ok() && stored < kSchemaVersion)
                r = c.Exec("INSERT INTO schema_version (version) VALUES ($1)", {QByteArray::number(kSchemaVersion)});
        }
    }
    return CommitOrReport(c, std::move(r), error);
}

PreparedRecords PrepareRecords(const QString &node, const QList<FedRecord> &records)
{
    PreparedRecords out;
    out.node = node;
    const QByteArray nodeUtf8 = node.toUtf8();
    QHash<FedKind, Prepared> &byKind = out.byKind;
    struct Made
    {
        QHash<QByteArray, qsizetype> keys; // row of each key
        QList<qsizetype> ends;             // where each row's line ends in the COPY text
        QList<bool> replaced;              // a later record of its key came
        bool anyReplaced = false;
    };
    QHash<FedKind, Made> made;
    // Room for each kind's text at once: a COPY line holds the fields and the line again.
    QHash<FedKind, qsizetype> room;
    for (const FedRecord &record : records)
        room[record.kind] += 2 * record.line.size() + nodeUtf8.size() + 32;
    for (auto it = room.cbegin(); it != room.cend(); ++it)
        byKind[it.key()].copyText.reserve(it.value());
    QByteArray key;
    QByteArray stamp;
    QString reason;
    for (int i = 0; i < records.size(); ++i) {
        Prepared &p = byKind[records[i].kind];
        if (!AppendCopyRow(records[i], nodeUtf8, &p.copyText, &key, &stamp, &reason)) {
            out.refused.append(i);
            out.refusedReasons.append(reason);
            continue;
        }
        Made &m = made[records[i].kind];
        const auto it = m.keys.find(key);
        if (it != m.keys.end()) {
            m.replaced[*it] = true;
            m.anyReplaced = true;
            *it = p.records.size();
        } else {
            m.keys.insert(key, p.records.size());
        }
        p.records.append(records[i]);
        p.sources.append(i);
        m.ends.append(p.copyText.size());
        m.replaced.append(false);
        // Rows come meter by meter: the last span is nearly always the one.
        Prepared::Span *span = !p.spans.isEmpty() && p.spans.last().serial == records[i].serial ? &p.spans.last() : nullptr;
        for (qsizetype k = 0; span == nullptr && k < p.spans.size(); ++k) {
            if (p.spans[k].serial == records[i].serial)
                span = &p.spans[k];
        }
        if (span == nullptr) {
            p.spans.append({records[i].serial, stamp, stamp});
        } else {
            if (stamp < span->first)
                span->first = stamp;
            if (stamp > span->last)
                span->last = stamp;
        }
    }
    // The last record of a key stands, as in the files: the earlier ones leave the text.
    for (auto it = made.cbegin(); it != made.cend(); ++it) {
        const Made &m = it.value();
        if (!m.anyReplaced)
            continue;
        Prepared &p = byKind[it.key()];
        Prepared kept;
        kept.copyText.reserve(p.copyText.size());
        kept.spans = p.spans;
        qsizetype begin = 0;
        for (qsizetype r = 0; r < p.size(); ++r) {
            if (!m.replaced[r]) {
                kept.copyText.append(p.copyText.constData() + begin, m.ends[r] - begin);
                kept.records.append(p.records[r]);
                kept.sources.append(p.sources[r]);
            }
            begin = m.ends[r];
        }
        p = std::move(kept);
    }
    return out;
}

ReplicaOutcome UpsertRecords(PgConnection &c, const QString &node, const QList<FedRecord> &records)
{
    return SendPrepared(c, PrepareRecords(node, records));
}

ReplicaOutcome SendPrepared(PgConnection &c, const PreparedRecords &prepared)
{
    ReplicaOutcome out;
    out.refused = prepared.refused;
    out.refusedReasons = prepared.refusedReasons;
    const QHash<FedKind, Prepared> &byKind = prepared.byKind;

    // The temporary tables are made outside the batch's transaction: a rolled-back batch
    // would take them with it.
    bool staged = false;
    PgResult r;
    if (!StagingReady(c, &staged, &r))
        return Fail(c, r);
    r = c.Exec("BEGIN");
    if (!r.ok())
        return Fail(c, r);
    bool refusedStatement = false;
    for (FedKind kind : AllFedKinds()) {
        const Prepared &p = byKind.value(kind);
        const ReplicaTable &table = TableOf(kind);
        if (p.size() >= kDirectCopyRows) {
            bool empty = false;
            if (!NothingInRange(c, table, p, &empty, &r))
                return FailAndRollBack(c, r);
            if (empty) {
                // A key that arrived meanwhile fails the COPY as a duplicate: the batch goes
                // again below by parts, with the upsert.
                r = c.CopyIn(DirectCopyStatement(table), p.copyText);
                if (!r.ok()) {
                    if (!Refused(c, r))
                        return FailAndRollBack(c, r);
                    refusedStatement = true;
                    break;
                }
                continue;
            }
        }
        if (p.size() == 0)
            continue;
        if (staged) {
            // A refused value fails the COPY (range, format) or the upsert (constraint,
            // index row): either way the batch goes one record at a time below.
            r = c.CopyIn(CopyStatement(table), p.copyText);
            if (r.ok())
                r = c.Exec(UpsertFromStagingStatement(table));
            if (!r.ok()) {
                if (!Refused(c, r))
                    return FailAndRollBack(c, r);
                refusedStatement = true;
                break;
            }
            continue;
        }
        const QList<ReplicaRow> rows = RowsOf(prepared.node, p);
        for (qsizetype from = 0; from < p.size() && !refusedStatement; from += kRowsPerStatement) {
            r = InsertRows(c, table, rows, from, qMin(kRowsPerStatement, p.size() - from));
            if (!r.ok()) {
                if (!Refused(c, r))
                    return FailAndRollBack(c, r);
                refusedStatement = true;
            }
        }
        if (refusedStatement)
            break;
    }
    if (!refusedStatement) {
        r = c.Exec("COMMIT");
        if (!r.ok())
            return Fail(c, r);
        for (const Prepared &p : std::as_const(byKind))
            out.written += int(p.size());
        return out;
    }

    // A value the database will not take: the rows again, each part its own transaction,
    // halving a refused part down to the refused records alone, so that one bad value in a
    // large batch costs a few dozen statements, not one per record.
    c.Exec("ROLLBACK");
    for (FedKind kind : AllFedKinds()) {
        const Prepared &p = byKind.value(kind);
        const ReplicaTable &table = TableOf(kind);
        const QList<ReplicaRow> rows = RowsOf(prepared.node, p);
        for (qsizetype from = 0; from < p.size(); from += kRowsPerStatement) {
            // What was written stays written: a later send only finds it again.
            if (!SendAlone(c, table, p, rows, from, qMin(kRowsPerStatement, p.size() - from), out, &r))
                return Fail(c, r);
        }
    }
    return out;
}

namespace {

QString GroupPath(ProfileFile &tree, int group)
{
    QStringList names;
    QSet<int> visited;
    while (group > 0 && !visited.contains(group)) {
        visited.insert(group);
        const QString section = GroupSection(group);
        names.prepend(tree.ReadString(section, reg::kName));
        group = int(tree.ReadInteger(section, reg::kParent, 0));
    }
    return names.join(u'/');
}

std::optional<QByteArray> IntOrNull(const QString &text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    return ok ? std::optional<QByteArray>(QByteArray::number(v)) : std::nullopt;
}

} // namespace

bool UpsertMeters(PgConnection &c, const QString &node, Registry &registry, QString *error, bool *refused)
{
    ProfileFile &tree = registry.file();
    const QByteArray nodeText = node.toUtf8();
    QByteArray serials = "{";
    const QByteArray sql =
        "INSERT INTO meters AS m (node, serial, meter_number, name, group_path, address, port, device_version, modem, "
        "registry_keys) VALUES ($1, $2::int4, $3::int4, $4, $5, $6::int4, $7::int4, $8::int4, $9::boolean, $10::jsonb) "
        "ON CONFLICT (node, serial) DO UPDATE SET meter_number=EXCLUDED.meter_number, name=EXCLUDED.name, "
        "group_path=EXCLUDED.group_path, address=EXCLUDED.address, port=EXCLUDED.port, "
        "device_version=EXCLUDED.device_version, modem=EXCLUDED.modem, registry_keys=EXCLUDED.registry_keys, "
        "updated_at=now() WHERE (m.meter_number, m.name, m.group_path, m.address, m.port, m.device_version, m.modem, "
        "m.registry_keys) IS DISTINCT FROM (EXCLUDED.meter_number, EXCLUDED.name, EXCLUDED.group_path, "
        "EXCLUDED.address, EXCLUDED.port, EXCLUDED.device_version, EXCLUDED.modem, EXCLUDED.registry_keys)";
    PgResult r = c.Exec("BEGIN");
    QSet<quint16> done;
    for (int number : registry.MeterNumbers()) {
        if (!r.ok())
            break;
        const QString section = MeterSection(number);
        quint16 serial = 0;
        if (!ParseSerial(tree.ReadString(section, reg::kSerial), &serial) || done.contains(serial))
            continue;
        done.insert(serial);
        QJsonObject keys;
        for (const QString &key : tree.ReadKeyNames(section))
            keys.insert(key, tree.ReadString(section, key));
        const std::optional<QByteArray> parent = IntOrNull(tree.ReadString(section, reg::kParent));
        r = c.Exec(sql, {nodeText, QByteArray::number(serial), QByteArray::number(number),
                         tree.ReadString(section, reg::kName).toUtf8(),
                         GroupPath(tree, parent ? parent->toInt() : 0).toUtf8(),
                         IntOrNull(tree.ReadString(section, reg::kAddress)),
                         IntOrNull(tree.ReadString(section, reg::kCom)),
                         IntOrNull(tree.ReadString(section, reg::kDevType)),
                         QByteArray(tree.ReadInteger(section, reg::kModem, 0) != 0 ? "true" : "false"),
                         QJsonDocument(keys).toJson(QJsonDocument::Compact)});
        serials += (serials.size() > 1 ? "," : "") + QByteArray::number(serial);
    }
    serials += '}';
    if (r.ok())
        r = c.Exec("DELETE FROM meters WHERE node = $1 AND NOT (serial = ANY ($2::int4[]))", {nodeText, serials});
    return CommitOrReport(c, std::move(r), error, refused);
}

} // namespace qst
