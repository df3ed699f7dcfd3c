#include "CliCommand.h"
#include "CliReplication.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "exchange/LogSink.h"
#include "registry/Registry.h"
#include "replication/DatabaseSettings.h"
#include "replication/FileSync.h"
#include "replication/Outbox.h"
#include "replication/PgConnection.h"
#include "replication/ReplicaWriter.h"
#include "replication/Replicator.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <mutex>

namespace qst::cli {

CliReplication::CliReplication(const QString &dataRoot)
{
    DatabaseSettings settings;
    try {
        Registry registry(TreeIniPath(dataRoot));
        settings = ReadDatabaseSettings(registry);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("database copy off: ") + e.message());
        return;
    }
    if (!settings.enabled())
        return;
    m_replicator = std::make_unique<Replicator>(dataRoot, settings, [](const QString &text) {
        static std::mutex printing;
        std::lock_guard lock(printing);
        PrintLine(stdout, QStringLiteral("[База данных] ") + FormatLogLine(QDateTime::currentDateTime(), text));
        std::fflush(stdout);
    });
    m_replicator->Start();
}

CliReplication::~CliReplication()
{
    Finish(0);
}

void CliReplication::Finish(int drainMs)
{
    if (m_replicator)
        m_replicator->Stop(drainMs);
    m_replicator.reset();
}

namespace {

// The configured database, or a message and false.
bool ConfiguredSettings(const QString &dataRoot, const QString &command, DatabaseSettings *settings)
{
    Registry registry(TreeIniPath(dataRoot));
    *settings = ReadDatabaseSettings(registry);
    if (!settings->enabled()) {
        PrintLine(stderr, QStringLiteral("db %1: no database is set for %2 (qst-cli db set URL)").arg(command, dataRoot));
        return false;
    }
    return true;
}

bool OpenDatabase(const DatabaseSettings &settings, const QString &command, PgConnection *connection)
{
    QString error;
    if (!connection->Open(settings.url, &error) || !EnsureSchema(*connection, &error)) {
        PrintLine(stderr, QStringLiteral("db %1: cannot use the database %2: %3")
                              .arg(command, RedactedUrl(settings.url), error));
        return false;
    }
    return true;
}

} // namespace

int RunDbSet(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Copies every record this data root stores into PostgreSQL."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("libpq connection string or postgresql:// URI"));
    const QCommandLineOption node(QStringLiteral("node"), QStringLiteral("This poller's name (default: the host name)."),
                                  QStringLiteral("NAME"));
    parser.addOption(node);
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    if (parser.positionalArguments().size() != 1)
        return UsageError(QStringLiteral("db set: give one URL (see db set --help)"));
    DatabaseSettings settings{parser.positionalArguments().first(), parser.value(node)};
    QString error = DatabaseUrlError(settings.url);
    if (error.isEmpty())
        error = DatabaseNodeError(settings.node);
    if (!error.isEmpty())
        return UsageError(QStringLiteral("db set: ") + error);
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        WriteDatabaseSettings(registry, settings);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("db set: ") + e.message());
        return kExitFailed;
    }
    PrintLine(stdout, QStringLiteral("database: %1, node %2").arg(RedactedUrl(settings.url), settings.nodeOrHost()));
    return kExitOk;
}

int RunDbOff(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("db off takes no options"));
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        ClearDatabaseSettings(registry);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("db off: ") + e.message());
        return kExitFailed;
    }
    PrintLine(stdout, QStringLiteral("database replication is off; records still queued stay in %1")
                          .arg(Outbox::FolderPath(context.dataRoot)));
    return kExitOk;
}

int RunDbInit(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("db init takes no options"));
    DatabaseSettings settings;
    if (!ConfiguredSettings(context.dataRoot, QStringLiteral("init"), &settings))
        return kExitFailed;
    PgConnection connection;
    if (!OpenDatabase(settings, QStringLiteral("init"), &connection))
        return kExitFailed;
    PgResult r = connection.Exec("SELECT max(version) FROM schema_version");
    PrintLine(stdout, QStringLiteral("schema version %1 in %2").arg(r.ok() ? r.text(0, 0) : QStringLiteral("?"),
                                                                      RedactedUrl(settings.url)));
    return kExitOk;
}

int RunDbSync(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sends what the files hold to the database."));
    parser.addHelpOption();
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("Only this meter."), QStringLiteral("S"));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("Only records at or after DATE."),
                                  QStringLiteral("DATE"));
    parser.addOptions({serial, from});
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    FileSyncOptions options;
    if (parser.isSet(serial)) {
        quint16 s = 0;
        if (!ParseSerial(parser.value(serial), &s))
            return UsageError(QStringLiteral("db sync: --serial must be a number 0..65535"));
        options.serial = s;
    }
    if (parser.isSet(from)) {
        options.from = ParseIsoLocal(parser.value(from), false);
        if (!options.from.isValid())
            return UsageError(QStringLiteral("db sync: bad date after --from (ISO 8601: 2026-12-01 or 2026-12-01T10:00)"));
    }
    DatabaseSettings settings;
    if (!ConfiguredSettings(context.dataRoot, QStringLiteral("sync"), &settings))
        return kExitFailed;
    PgConnection connection;
    if (!OpenDatabase(settings, QStringLiteral("sync"), &connection))
        return kExitFailed;
    // A sync over everything sends what the outbox missed until now.
    const QDateTime started = QDateTime::currentDateTime();
    const bool full = options.serial < 0 && !options.from.isValid();
    Registry registry(TreeIniPath(context.dataRoot));
    const FileSyncResult result =
        SyncFilesToDatabase(connection, context.dataRoot, registry, settings.nodeOrHost(), options,
                            [](const QString &line) { PrintLine(stderr, QStringLiteral("db sync: ") + line); });
    for (const QString &line : result.refusedLines)
        PrintLine(stderr, QStringLiteral("db sync: refused: ") + line);
    if (!result.ok) {
        PrintLine(stderr, QStringLiteral("db sync: stopped: %1 (%2 records were sent; run it again)")
                              .arg(result.error)
                              .arg(result.sent));
        return kExitFailed;
    }
    if (full) {
        try {
            WriteLastFullSync(context.dataRoot, started);
        } catch (const StorageError &e) {
            PrintLine(stderr, QStringLiteral("db sync: the records are sent, but %1").arg(e.message()));
        }
    }
    PrintLine(stdout, QStringLiteral("db sync: %1 records of %2 meters sent, %3 refused")
                          .arg(result.sent)
                          .arg(result.meters)
                          .arg(result.refused));
    return result.refused == 0 ? kExitOk : kExitFailed;
}

namespace {

QString Age(qint64 ms)
{
    const qint64 s = ms / 1000;
    if (s < 120)
        return QStringLiteral("%1 s").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min").arg(s / 60);
    return QStringLiteral("%1 h").arg(s / 3600);
}

} // namespace

int RunDbStatus(const CliContext &context)
{
    bool json = false;
    for (qsizetype i = 1; i < context.args.size(); ++i) {
        if (context.args[i] == QStringLiteral("--json"))
            json = true;
        else
            return UsageError(QStringLiteral("db status: unknown option %1 (see qst-cli --help)").arg(context.args[i]));
    }
    Registry registry(TreeIniPath(context.dataRoot));
    DatabaseSettings settings;
    try {
        settings = ReadDatabaseSettings(registry);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("db status: ") + e.message());
        return kExitFailed;
    }
    Outbox outbox(context.dataRoot);
    OutboxSummary summary;
    try {
        summary = outbox.Summary();
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("db status: ") + e.message());
        return kExitFailed;
    }
    const ReplicationState state = ReadReplicationState(context.dataRoot);
    const QString syncNeeded = DatabaseSyncNeeded(context.dataRoot);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 lagMs = summary.oldestMs > 0 ? qMax<qint64>(0, now - summary.oldestMs) : 0;
    QString reachable;
    bool connected = false;
    if (settings.enabled()) {
        PgConnection connection;
        QString error;
        connected = connection.Open(settings.url, &error);
        reachable = connected ? QStringLiteral("yes") : QStringLiteral("no: ") + error;
    }
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("enabled"), settings.enabled());
        o.insert(QStringLiteral("url"), RedactedUrl(settings.url));
        o.insert(QStringLiteral("node"), settings.enabled() ? settings.nodeOrHost() : QString());
        o.insert(QStringLiteral("reachable"), connected);
        o.insert(QStringLiteral("connectError"), connected ? QString() : reachable.mid(4));
        o.insert(QStringLiteral("pending"), summary.pending);
        o.insert(QStringLiteral("lagSeconds"), lagMs / 1000);
        o.insert(QStringLiteral("lastCommit"), state.lastCommit.isValid() ? state.lastCommit.toString(Qt::ISODate) : QString());
        o.insert(QStringLiteral("lastError"), state.lastError);
        o.insert(QStringLiteral("rejected"), summary.rejected);
        o.insert(QStringLiteral("notQueued"), state.notQueued);
        o.insert(QStringLiteral("outboxDamage"), summary.damage);
        o.insert(QStringLiteral("syncNeeded"), !syncNeeded.isEmpty());
        o.insert(QStringLiteral("syncNeededReason"), syncNeeded);
        PrintLine(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented)).trimmed());
        return kExitOk;
    }
    if (!settings.enabled())
        PrintLine(stdout, QStringLiteral("database: off"));
    else
        PrintLine(stdout, QStringLiteral("database: %1, node %2").arg(RedactedUrl(settings.url), settings.nodeOrHost()));
    if (settings.enabled())
        PrintLine(stdout, QStringLiteral("reachable: ") + reachable);
    PrintLine(stdout, QStringLiteral("outbox: %1 records waiting%2")
                          .arg(summary.pending)
                          .arg(summary.pending > 0       ? QStringLiteral(", the oldest queued %1 ago (lag)").arg(Age(lagMs))
                               : syncNeeded.isEmpty() ? QStringLiteral(", no lag")
                                                      : QStringLiteral(", but records are missing from the database")));
    if (!summary.damage.isEmpty())
        PrintLine(stdout, QStringLiteral("outbox damaged: %1 (set aside when the copy starts again)").arg(summary.damage));
    PrintLine(stdout, QStringLiteral("last commit: %1")
                          .arg(state.lastCommit.isValid()
                                   ? state.lastCommit.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                                         QStringLiteral(" (%1 records)").arg(state.lastCommitRecords)
                                   : QStringLiteral("never")));
    if (!state.lastError.isEmpty())
        PrintLine(stdout, QStringLiteral("last error: %1 (%2)")
                              .arg(state.lastError, state.lastErrorAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    if (summary.rejected > 0)
        PrintLine(stdout, QStringLiteral("refused by the database: %1 records, kept in %2/rejects.dat")
                              .arg(summary.rejected)
                              .arg(outbox.folder()));
    if (!syncNeeded.isEmpty())
        PrintLine(stdout, QStringLiteral("run db sync: %1").arg(syncNeeded));
    return kExitOk;
}

} // namespace qst::cli
