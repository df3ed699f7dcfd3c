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

#include <future>

namespace qst {

namespace {

constexpr int kSyncBatch = 20000;

struct KindFolder
{
    FedKind kind;
    DataKind dataKind;
};

const KindFolder kFolders[] = {
    {FedKind::History, DataKind::History}, {FedKind::Hourly, DataKind::Hourly}, {FedKind::Daily, DataKind::Daily},
    {FedKind::Monthly, DataKind::Monthly}, {FedKind::Journal, DataKind::Journal},
};

// Batches go to the database on a thread of their own, one at a time, while the next one is
// read and made ready here: the server's work and ours overlap. Outcomes are booked here, in
// order, when the next batch starts or Finish waits.
class Sender
{
public:
    Sender(PgConnection &c, const QString &node, FileSyncResult &result)
        : m_c(c)
        , m_node(node)
        , m_result(result)
    {
    }
    ~Sender() { Finish(); }

    bool Add(const FedRecord &record, const QString &file)
    {
        m_records.append(record);
        m_files.append(file);
        return m_records.size() < kSyncBatch || Flush();
    }

    // A file that could not be read, counted with the batch that follows it.
    void AddUnreadable(const QString &message) { m_unreadable.append(message); }

    // Starts sending what was added. onBooked runs here once it (and all before it) is booked.
    bool Flush(std::function<void()> onBooked = {})
    {
        // Made ready before waiting: this is the work that overlaps the batch in flight.
        const bool any = !m_records.isEmpty();
        PreparedRecords prepared;
        if (any)
            prepared = PrepareRecords(m_node, m_records);
        m_records.clear();
        if (!Finish())
            return false;
        Pending next;
        next.files = std::move(m_files);
        next.unreadable = std::move(m_unreadable);
        next.onBooked = std::move(onBooked);
        m_files.clear();
        m_unreadable.clear();
        if (any)
            next.outcome = std::async(std::launch::async, [this, prepared] { return SendPrepared(m_c, prepared); });
        m_pending = std::move(next);
        m_hasPending = true;
        return m_pending.outcome.valid() || Finish();
    }

    // Waits for the batch in flight and books it; false once the database has failed.
    bool Finish()
    {
        if (!m_hasPending)
            return m_result.ok;
        m_hasPending = false;
        Pending p = std::move(m_pending);
        for (const QString &message : std::as_const(p.unreadable))
            Refuse(message);
        if (p.outcome.valid()) {
            const ReplicaOutcome out = p.outcome.get();
            if (out.status != ReplicaOutcome::Committed) {
                m_result.ok = false;
                m_result.error = out.error;
                return false;
            }
            m_result.sent += out.written;
            for (qsizetype i = 0; i < out.refused.size(); ++i)
                Refuse(QDir::toNativeSeparators(p.files[out.refused[i]]) + QStringLiteral(": ") + out.refusedReasons[i]);
        }
        if (p.onBooked)
            p.onBooked();
        return m_result.ok;
    }

private:
    struct Pending
    {
        std::future<ReplicaOutcome> outcome; // none for a batch of unreadable files alone
        QStringList files;
        QStringList unreadable;
        std::function<void()> onBooked;
    };

    void Refuse(const QString &line)
    {
        ++m_result.refused;
        if (m_result.refusedLines.size() < 20)
            m_result.refusedLines.append(line);
    }

    PgConnection &m_c;
    QString m_node;
    FileSyncResult &m_result;
    QList<FedRecord> m_records;
    QStringList m_files;
    QStringList m_unreadable;
    Pending m_pending;
    bool m_hasPending = false;
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
    qint64 booked = 0; // records sent or refused when the last meter was booked
    for (quint16 serial : serials) {
        for (const KindFolder &k : kFolders) {
            for (const QString &path : LineFiles(dataRoot, k.dataKind, serial, options.changedSinceMs)) {
                if (options.cancelled && options.cancelled()) {
                    sender.Flush();
                    sender.Finish();
                    result.ok = false;
                    result.error = QStringLiteral("stopped before the end");
                    return result;
                }
                QStringList lines;
                try {
                    lines = LoadLines(path);
                } catch (const StorageError &e) {
                    sender.AddUnreadable(e.message());
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
        const bool going = sender.Flush([&result, &booked, &progress, serial] {
            ++result.meters;
            if (progress)
                progress(QStringLiteral("%1: %2 records").arg(serial).arg(result.sent + result.refused - booked));
            booked = result.sent + result.refused;
        });
        if (!going)
            return result;
    }
    sender.Finish();
    return result;
}

} // namespace qst
