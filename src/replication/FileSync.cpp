#include "FileSync.h"

#include "ReplicaWriter.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QDir>

namespace qst {

namespace {

constexpr int kSyncBatch = 5000;

struct KindFolder
{
    FedKind kind;
    DataKind dataKind;
};

const KindFolder kFolders[] = {
    {FedKind::History, DataKind::History}, {FedKind::Hourly, DataKind::Hourly}, {FedKind::Daily, DataKind::Daily},
    {FedKind::Monthly, DataKind::Monthly}, {FedKind::Journal, DataKind::Journal},
};

class Sender
{
public:
    Sender(PgConnection &c, const QString &node, FileSyncResult &result)
        : m_c(c)
        , m_node(node)
        , m_result(result)
    {
    }

    bool Add(const FedRecord &record, const QString &file)
    {
        m_records.append(record);
        m_files.append(file);
        return m_records.size() < kSyncBatch || Flush();
    }

    bool Flush()
    {
        if (m_records.isEmpty())
            return true;
        const ReplicaOutcome out = UpsertRecords(m_c, m_node, m_records);
        if (out.status != ReplicaOutcome::Committed) {
            m_result.ok = false;
            m_result.error = out.error;
            return false;
        }
        m_result.sent += out.written;
        for (qsizetype i = 0; i < out.refused.size(); ++i) {
            ++m_result.refused;
            if (m_result.refusedLines.size() < 20)
                m_result.refusedLines.append(QDir::toNativeSeparators(m_files[out.refused[i]]) + QStringLiteral(": ") +
                                             out.refusedReasons[i]);
        }
        m_records.clear();
        m_files.clear();
        return true;
    }

private:
    PgConnection &m_c;
    QString m_node;
    FileSyncResult &m_result;
    QList<FedRecord> m_records;
    QStringList m_files;
};

QStringList LineFiles(const QString &dataRoot, DataKind kind, quint16 serial, qint64 changedSinceMs)
{
    const QDir folder(MeterFolderPath(dataRoot, kind, serial));
    QStringList files;
    for (const QFileInfo &f : folder.entryInfoList({QStringLiteral("*.dat")}, QDir::Files, QDir::Name)) {
        if (changedSinceMs <= 0 || f.lastModified().toMSecsSinceEpoch() >= changedSinceMs)
            files.append(f.filePath());
    }
    return files;
}

} // namespace

FileSyncResult SyncFilesToDatabase(PgConnection &c, const QString &dataRoot, Registry &registry, const QString &node,
                                   const FileSyncOptions &options, const std::function<void(const QString &)> &progress)
{
    FileSyncResult result;
    if (!UpsertMeters(c, node, registry, &result.error)) {
        result.ok = false;
        return result;
    }
    QList<quint16> serials;
    for (int number : registry.MeterNumbers()) {
        quint16 serial = 0;
        if (ParseSerial(registry.file().ReadString(MeterSection(number), reg::kSerial), &serial) &&
            !serials.contains(serial) && (options.serial < 0 || options.serial == serial))
            serials.append(serial);
    }
    const double fromTime = options.from.isValid() ? DayCountFromDateTime(options.from) : 0;
    Sender sender(c, node, result);
    for (quint16 serial : serials) {
        const qint64 before = result.sent + result.refused;
        for (const KindFolder &k : kFolders) {
            for (const QString &path : LineFiles(dataRoot, k.dataKind, serial, options.changedSinceMs)) {
                if (options.cancelled && options.cancelled()) {
                    sender.Flush();
                    result.ok = false;
                    result.error = QStringLiteral("stopped before the end");
                    return result;
                }
                QStringList lines;
                try {
                    lines = LoadLines(path);
                } catch (const StorageError &e) {
                    ++result.refused;
                    if (result.refusedLines.size() < 20)
                        result.refusedLines.append(e.message());
                    continue;
                }
                for (const QString &line : std::as_const(lines)) {
                    if (fromTime > 0) {
                        double t = 0;
                        const QList<QStringView> fields = SplitFields(line);
                        // A time that does not read goes on, to be refused with its reason.
                        if (!fields.isEmpty() && TryParseReal(fields[0], &t) && TimeKey(t) < TimeKey(fromTime))
                            continue;
                    }
                    if (!sender.Add(FedRecord{k.kind, serial, line}, path))
                        return result;
                }
            }
        }
        if (!sender.Flush())
            return result;
        ++result.meters;
        if (progress)
            progress(QStringLiteral("%1: %2 records").arg(serial).arg(result.sent + result.refused - before));
    }
    return result;
}

} // namespace qst
