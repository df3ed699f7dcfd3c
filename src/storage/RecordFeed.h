#pragma once

#include <QList>
#include <QString>

#include <memory>

namespace qst {

// The kinds of line file whose records leave the data root for another store.
enum class FedKind : char {
    History = 'C',
    Hourly = 'H',
    Daily = 'D',
    Monthly = 'M',
    Journal = 'J',
};

// One line as it now stands in a meter's file.
struct FedRecord
{
    FedKind kind = FedKind::Hourly;
    quint16 serial = 0;
    QString line;
};

// Told of every line the writers put into a data root's files, after the file is saved.
// Called on the writing thread (an exchange thread, the import); it must not throw and
// should be quick: polling waits for it.
class RecordFeed
{
public:
    virtual ~RecordFeed() = default;
    virtual void Stored(const QList<FedRecord> &records) = 0;
};

// The database copy's feed: one per process at a time; nullptr removes it. Writers into
// other roots are not told.
void SetRecordFeed(const QString &dataRoot, std::shared_ptr<RecordFeed> feed);
// Further listeners of a data root (publishing), told after the database copy's feed, in
// the order they were added. Removing a feed that was never added does nothing.
void AddRecordFeed(const QString &dataRoot, std::shared_ptr<RecordFeed> feed);
void RemoveRecordFeed(const std::shared_ptr<RecordFeed> &feed);
void FeedStored(const QString &dataRoot, const QList<FedRecord> &records);

FedKind FedKindOfArchive(int archiveKind); // kHourlyArchive.. -> Hourly..

} // namespace qst
