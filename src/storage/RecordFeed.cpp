#include "RecordFeed.h"

#include "RecordWriters.h"

#include <QDir>

#include <mutex>

namespace qst {

namespace {

struct FeedSlot
{
    std::mutex mutex;
    QString root;
    std::shared_ptr<RecordFeed> feed;
};

FeedSlot &Slot()
{
    static FeedSlot slot;
    return slot;
}

QString Normalized(const QString &root)
{
    return QDir::cleanPath(QDir(root).absolutePath());
}

} // namespace

void SetRecordFeed(const QString &dataRoot, std::shared_ptr<RecordFeed> feed)
{
    FeedSlot &slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.root = feed ? Normalized(dataRoot) : QString();
    slot.feed = std::move(feed);
}

void FeedStored(const QString &dataRoot, const QList<FedRecord> &records)
{
    if (records.isEmpty())
        return;
    std::shared_ptr<RecordFeed> feed;
    {
        FeedSlot &slot = Slot();
        std::lock_guard lock(slot.mutex);
        if (!slot.feed)
            return;
        if (slot.root != Normalized(dataRoot))
            return;
        feed = slot.feed;
    }
    feed->Stored(records);
}

FedKind FedKindOfArchive(int archiveKind)
{
    switch (archiveKind) {
    case kDailyArchive:
        return FedKind::Daily;
    case kMonthlyArchive:
        return FedKind::Monthly;
    default:
        return FedKind::Hourly;
    }
}

} // namespace qst
