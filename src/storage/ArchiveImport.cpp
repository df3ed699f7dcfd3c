#include "ArchiveImport.h"

#include "ArchiveFiles.h"
#include "JournalDecoder.h"
#include "MeterWriteLock.h"
#include "RecordFeed.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RecordDecoding.h"
#include "common/StorageError.h"
#include "registry/Registry.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qst {

namespace {

int Le16(const quint8 *p)
{
    return p[0] | (p[1] << 8);
}

// Reads the blocks of one dump, each into the one buffer; never past it.
class DumpReader
{
public:
    explicit DumpReader(const QString &path)
        : m_file(path)
        , m_path(path)
    {
        // A FIFO or a device would block the import (and the data root with it) or never end.
        const QFileInfo info(path);
        if (info.exists() && !info.isFile())
            throw StorageError(importtexts::kNotRegularA + path + importtexts::kNotRegularB);
        if (!m_file.open(QIODevice::ReadOnly))
            throw StorageError(importtexts::kCannotOpen + path);
    }

    // False when the file ends first.
    bool TryRead(int size)
    {
        if (size < 0 || size > kDumpBufferSize)
            return false;
        std::memset(m_buffer, 0, sizeof m_buffer);
        if (size == 0)
            return true;
        return m_file.read(reinterpret_cast<char *>(m_buffer), size) == size;
    }

    void Read(int size)
    {
        if (!TryRead(size))
            throw StorageError(importtexts::kTruncatedA + m_path + importtexts::kTruncatedB);
    }

    const quint8 *data() const { return m_buffer; }

private:
    QFile m_file;
    QString m_path;
    quint8 m_buffer[kDumpBufferSize];
};

// The parameter block's serial; false when the block is too short to hold it.
bool SerialOfParams(const quint8 *block, int size, quint16 *serial)
{
    if (size < kDumpSerialOffset + 2)
        return false;
    *serial = static_cast<quint16>((block[kDumpSerialOffset] << 8) | block[kDumpSerialOffset + 1]);
    return true;
}

// The record's time by kind: hourly year, month, day, hour; daily the day at 00:00;
// monthly the first of the month. False for a date or hour that does not exist.
bool RecordTime(int kind, const quint8 *record, int size, double *time)
{
    if (size < 4)
        return false;
    const int year = 2000 + record[0];
    const int month = record[1];
    const int day = kind == kArchiveMonthly ? 1 : record[2];
    const int hour = kind == kArchiveHourly ? record[3] : 0;
    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23)
        return false;
    *time = DayCountFromParts(date, QTime(hour, 0));
    return true;
}

// Lines waiting for their files, each file's lines in record order, with the latest time
// of each file for its last-read mark.
struct PendingFile
{
    QList<TimedLine> lines;
    double latest = 0;
};

// Records that could not be stored: how many, and the first reason.
struct StoreFailures
{
    int count = 0;
    QString firstReason;

    void Add(int records, const QString &reason)
    {
        if (count == 0)
            firstReason = reason;
        count += records;
    }
};

class PendingLines
{
public:
    void Add(const QString &path, const QString &line, double time)
    {
        PendingFile &file = m_files[path];
        file.lines.append(TimedLine{line, time});
        if (file.lines.size() == 1 || time > file.latest)
            file.latest = time;
    }

    // Every file written once. A file that cannot be written loses its lines only; the
    // latest time of the files written comes back (false when none was). The lines stored
    // go to the data root's record feed.
    bool FlushArchive(const QString &dataRoot, FedKind kind, quint16 serial, double *latest, StoreFailures &failures)
    {
        bool any = false;
        for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
            try {
                InsertArchiveLines(it.key(), it.value().lines, true);
            } catch (const StorageError &e) {
                failures.Add(int(it.value().lines.size()), e.message());
                continue;
            }
            QList<FedRecord> fed;
            fed.reserve(it.value().lines.size());
            for (const TimedLine &l : it.value().lines)
                fed.append(FedRecord{kind, serial, l.line});
            FeedStored(dataRoot, fed);
            if (!any || it.value().latest > *latest)
                *latest = it.value().latest;
            any = true;
        }
        m_files.clear();
        return any;
    }

    bool FlushJournal(const QString &dataRoot, quint16 serial, double *latest, StoreFailures &failures)
    {
        bool any = false;
        for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
            QList<bool> duplicates;
            try {
                duplicates = InsertJournalLines(it.key(), it.value().lines);
            } catch (const StorageError &e) {
                failures.Add(int(it.value().lines.size()), e.message());
                continue;
            }
            QList<FedRecord> fed;
            for (qsizetype i = 0; i < duplicates.size(); ++i) {
                if (!duplicates[i])
                    fed.append(FedRecord{FedKind::Journal, serial, it.value().lines[i].line});
            }
            FeedStored(dataRoot, fed);
            if (!any || it.value().latest > *latest)
                *latest = it.value().latest;
            any = true;
        }
        m_files.clear();
        return any;
    }

private:
    QMap<QString, PendingFile> m_files;
};

// The archive and journal lines of one file on their way to disk.
class ImportBatch
{
public:
    ImportBatch(const StorageTarget &target, quint16 serial, int section)
        : m_target(target)
        , m_serial(serial)
        , m_section(section)
    {
    }

    void AddArchive(int kind, const QString &line, double time)
    {
        m_archive[kind].Add(ArchiveFilePath(m_target.dataRoot, m_serial, kind, time), line, time);
    }

    void AddSnapshot(const QString &line, double time)
    {
        m_history.Add(HistoryFilePath(m_target.dataRoot, m_serial, time), line, time);
    }

    void AddJournal(const QString &line, double time)
    {
        m_journal.Add(DataFilePath(m_target.dataRoot, DataKind::Journal, m_serial), line, time);
    }

    // Each kind's files written once, its mark advanced once with its latest stored time.
    void Flush()
    {
        const int section = FindSection(m_target, m_serial, m_section);
        for (int kind = kArchiveHourly; kind <= kArchiveMonthly; ++kind) {
            double latest = 0;
            if (m_archive[kind].FlushArchive(m_target.dataRoot, FedKindOfArchive(kind), m_serial, &latest, m_failures))
                AdvanceArchiveMark(m_target, section, kind, latest);
        }
        double unused = 0;
        m_history.FlushArchive(m_target.dataRoot, FedKind::History, m_serial, &unused, m_failures);
        double latest = 0;
        if (m_journal.FlushJournal(m_target.dataRoot, m_serial, &latest, m_failures))
            AdvanceJournalMark(m_target, section, latest);
    }

    const StoreFailures &failures() const { return m_failures; }

private:
    const StorageTarget &m_target;
    quint16 m_serial;
    int m_section;
    PendingLines m_archive[3];
    PendingLines m_history;
    PendingLines m_journal;
    StoreFailures m_failures;
};

void Report(const ImportProgress &progress, int percent)
{
    if (progress)
        progress(percent);
}

} // namespace

bool ParseDumpHeader(const quint8 *bytes, int length, DumpHeader *header)
{
    if (length < kDumpHeaderSize)
        return false;
    header->idSize = Le16(bytes + 5);
    header->currentSize = Le16(bytes + 7);
    header->paramSize = Le16(bytes + 9);
    for (int kind = 0; kind < 4; ++kind) {
        header->recordSize[kind] = Le16(bytes + 11 + 4 * kind);
        header->recordCount[kind] = Le16(bytes + 13 + 4 * kind);
    }
    return true;
}

bool DumpHeaderFits(const DumpHeader &header)
{
    int largest = std::max({header.idSize, header.currentSize, header.paramSize});
    for (int kind = 0; kind < 4; ++kind)
        largest = std::max(largest, header.recordSize[kind]);
    return largest <= kDumpBufferSize;
}

void CheckDumpSerial(const QString &path)
{
    DumpReader reader(path);
    DumpHeader header;
    reader.Read(kDumpHeaderSize);
    ParseDumpHeader(reader.data(), kDumpHeaderSize, &header);
    quint16 serial = 0;
    for (int size : {header.idSize, header.currentSize, header.paramSize}) {
        if (size > kDumpBufferSize)
            throw StorageError(importtexts::kTooLongA + path + importtexts::kTooLongB + QString::number(size) +
                               importtexts::kTooLongC);
        reader.Read(size);
    }
    if (!SerialOfParams(reader.data(), header.paramSize, &serial))
        throw StorageError(importtexts::kNoSerialA + path + importtexts::kNoSerialB);
}

quint16 ReadDumpSerial(const QString &path)
{
    DumpReader reader(path);
    DumpHeader header;
    if (!reader.TryRead(kDumpHeaderSize) || !ParseDumpHeader(reader.data(), kDumpHeaderSize, &header))
        return 0;
    if (!reader.TryRead(header.idSize) || !reader.TryRead(header.currentSize) || !reader.TryRead(header.paramSize))
        return 0;
    quint16 serial = 0;
    return SerialOfParams(reader.data(), header.paramSize, &serial) ? serial : 0;
}

DumpImportResult ImportArchiveFile(const StorageTarget &target, const QString &path, quint16 expectedSerial,
                                   const ImportProgress &progress)
{
    DumpReader reader(path);
    DumpHeader header;
    reader.Read(kDumpHeaderSize);
    ParseDumpHeader(reader.data(), kDumpHeaderSize, &header);
    if (!DumpHeaderFits(header)) {
        int largest = std::max({header.idSize, header.currentSize, header.paramSize});
        for (int kind = 0; kind < 4; ++kind)
            largest = std::max(largest, header.recordSize[kind]);
        throw StorageError(importtexts::kTooLongA + path + importtexts::kTooLongB + QString::number(largest) +
                           importtexts::kTooLongC);
    }
    Report(progress, 10);

    reader.Read(header.idSize);
    const int version = header.idSize > 6 ? reader.data()[6] : 0;
    const bool snapshotFlag = header.idSize > 7 && reader.data()[7] >= 1 && reader.data()[7] <= 127;
    Report(progress, 20);

    CurrentValues current;
    reader.Read(header.currentSize);
    bool currentOk = DecodeCurrentInput(version, reader.data(), header.currentSize, &current) == kLinkOk;
    Report(progress, 30);

    reader.Read(header.paramSize);
    DumpImportResult result;
    if (!SerialOfParams(reader.data(), header.paramSize, &result.fileSerial))
        throw StorageError(importtexts::kNoSerialA + path + importtexts::kNoSerialB);
    if (result.fileSerial != expectedSerial)
        return result;
    const quint16 serial = result.fileSerial;
    const bool known = version == 1 || version == 2;

    MeterWriteLock lock(serial);
    // Blocks too short for the version's layout, or a clock that is no calendar time, leave
    // the current values alone; the records still load.
    currentOk = currentOk && DecodeCurrentHolding(version, reader.data(), header.paramSize, &current) == kLinkOk;
    if (known && currentOk && Storable(current))
        SaveCurrentValues(target, version, serial, true, current);
    Report(progress, 40);

    const int section = target.registry ? target.registry->FindMeterBySerialText(serial) : 0;
    ImportBatch batch(target, serial, section);
    try {
        static const int afterKind[3] = {60, 80, 90};
        for (int kind = kArchiveHourly; kind <= kArchiveMonthly; ++kind) {
            const int size = header.recordSize[kind];
            for (int i = 0; i < header.recordCount[kind]; ++i) {
                reader.Read(size);
                double time = 0;
                if (!known || !RecordTime(kind, reader.data(), size, &time))
                    continue;
                ArchiveValues values;
                TotalsSnapshot snapshot;
                bool snapshotFilled = false;
                if (DecodeArchiveFields(version, kind, reader.data(), size, &values, &snapshot, &snapshotFilled) !=
                        kLinkOk ||
                    !Storable(values))
                    continue;
                values.time = time;
                batch.AddArchive(kind, BuildArchiveLine(version, values), time);
                if (kind == kArchiveDaily && version == 2 && snapshotFlag && snapshotFilled && Storable(snapshot)) {
                    const double next = DayCountFromDate(DateFromDayCount(time).addDays(1));
                    batch.AddSnapshot(BuildSnapshotHistoryLine(snapshot, next), next);
                }
            }
            Report(progress, afterKind[kind]);
        }

        const int size = header.recordSize[kArchiveJournal];
        for (int i = 0; i < header.recordCount[kArchiveJournal]; ++i) {
            reader.Read(size);
            if (!known || size < kJournalRecord)
                continue;
            JournalDecodeStruct decoded;
            if (!DecodeJournal(version, decoded, JournalEntryFromBytes(reader.data())))
                continue;
            const double at = JournalLineTime(decoded.date, decoded.dateTime);
            batch.AddJournal(BuildJournalLine(at, decoded.recordText, decoded.oldValue, decoded.newValue), at);
        }
    } catch (const StorageError &) {
        // What was read before the damage is kept.
        batch.Flush();
        throw;
    }
    batch.Flush();
    Report(progress, 100);
    result.loaded = true;
    result.notStored = batch.failures().count;
    result.firstReason = batch.failures().firstReason;
    return result;
}

QString ImportConfirmationText(const QList<quint16> &serials)
{
    QStringList texts;
    for (quint16 serial : serials)
        texts.append(QString::number(serial));
    return importtexts::kConfirmHead + texts.join(QStringLiteral(", ")) + importtexts::kConfirmTail;
}

QString ImportResultText(const ImportRunResult &run)
{
    if (!run.completed)
        return importtexts::kFailed + run.error;
    if (run.notStored > 0)
        return importtexts::kNotStoredA + QString::number(run.notStored) + importtexts::kNotStoredB + run.firstReason;
    return importtexts::kDone;
}

QString ImportMismatchText(const QString &path, quint16 fileSerial)
{
    return importtexts::kMismatchA + path + importtexts::kMismatchB + QString::number(fileSerial);
}

ImportRunResult ImportArchiveFiles(const StorageTarget &target, const QStringList &paths,
                                   const QList<quint16> &serials, const ImportCallbacks &callbacks)
{
    ImportRunResult run;
    const int n = static_cast<int>(std::min(paths.size(), serials.size()));
    if (callbacks.overall)
        callbacks.overall(0);
    try {
        for (int i = 0; i < n; ++i) {
            const quint16 serial = serials[i];
            // A file too short or too damaged to name its calculator (its serial was listed
            // as 0) must not register a meter for a calculator that does not exist.
            CheckDumpSerial(paths[i]);
            if (target.registry && target.registry->FindMeterBySerialText(serial) == 0)
                target.registry->RegisterDumpMeter(serial);
            if (callbacks.file)
                callbacks.file(0);
            const DumpImportResult file = ImportArchiveFile(target, paths[i], serial, callbacks.file);
            if (file.loaded) {
                ++run.loaded;
                if (file.notStored > 0 && run.notStored == 0)
                    run.firstReason = file.firstReason;
                run.notStored += file.notStored;
            } else {
                ++run.refused;
                if (callbacks.message)
                    callbacks.message(ImportMismatchText(paths[i], file.fileSerial));
            }
            if (callbacks.overall)
                callbacks.overall((100 / n) * (i + 1));
        }
    } catch (const StorageError &e) {
        run.error = e.message();
        return run;
    } catch (const std::exception &e) {
        run.error = QString::fromLocal8Bit(e.what());
        return run;
    }
    run.completed = true;
    return run;
}

} // namespace qst
