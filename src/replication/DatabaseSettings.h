#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace qst {

class Registry;

namespace reg {
inline const QString kDatabase = QStringLiteral("DATABASE");
inline const QString kUrl = QStringLiteral("Url");
inline const QString kNode = QStringLiteral("Node");
} // namespace reg

// Where a data root replicates its records: [DATABASE] of Tree.ini. An empty url: off.
struct DatabaseSettings
{
    QString url;  // a libpq connection string or postgresql:// URI, never with a password
    QString node; // this poller's name in the database; empty: the host name

    bool enabled() const { return !url.trimmed().isEmpty(); }
    QString nodeOrHost() const;
};

DatabaseSettings ReadDatabaseSettings(Registry &registry);
// Writes both keys with one rewrite; refuses (StorageError) what DatabaseUrlError refuses.
void WriteDatabaseSettings(Registry &registry, const DatabaseSettings &settings);
void ClearDatabaseSettings(Registry &registry);

// Why the url cannot be stored: empty, a line break, a password in it (passwords belong in
// ~/.pgpass or PGPASSWORD, not in a file operators copy around); empty text when it can.
QString DatabaseUrlError(const QString &url);
// Why a node name cannot be used: longer than 64 characters, control or invisible
// characters, or what Tree.ini cannot store; empty text when it can.
QString DatabaseNodeError(const QString &node);

// The url with any password masked however it is written, for logs and status lines.
QString RedactedUrl(const QString &url);

// The options libpq reads from a connection string or URI (PQconninfoParse): only those
// given. False with libpq's reason when it cannot read it.
struct ConnectionOption
{
    QByteArray keyword;
    QByteArray value;
};
bool ParseConnectionOptions(const QString &url, QList<ConnectionOption> *options, QString *error);

QString DefaultNodeName();

} // namespace qst
