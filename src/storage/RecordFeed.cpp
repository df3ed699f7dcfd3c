#include "RecordFeed.h"

#include "RecordWriters.h"

#include <QDir>

#include <mutex>

namespace qst {

namespace {

struct FeedEntry
{
    QString root;
    std::shared_ptr<RecordFeed> feed;
};

struct FeedSlot
{
    std::mutex mutex;
    FeedEntry primary;       // SetRecordFeed's
    QList<FeedEntry> others; // AddRecordFeed's
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
    slot.primary.root = feed ? Normalized(dataRoot) : QString();
    slot.primary.feed = std::move(feed);
}

void AddRecordFeed(const QString &dataRoot, std::shared_ptr<RecordFeed> feed)
{
    if (!feed)
        return;
    FeedSlot &slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.others.append({Normalized(dataRoot), std::move(feed)});
}

void RemoveRecordFeed(const std::shared_ptr<RecordFeed> &feed)
{
    FeedSlot &slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.others.removeIf([&](const FeedEntry &e) { return e.feed == feed; });
}

void FeedStored(const QString &dataRoot, const QList<FedRecord> &records)
{
    if (records.isEmpty())
        return;
    QList<std::shared_ptr<RecordFeed>> feeds;
    {
        FeedSlot &slot = Slot();
        std::lock_guard lock(slot.mutex);
        if (!slot.primary.feed && slot.others.isEmpty())
            return;
        const QString root = Normalized(dataRoot);
        if (slot.primary.feed && slot.primary.root == root)
            feeds.append(slot.primary.feed);
        for (const FeedEntry &e : slot.others) {
            if (e.root == root)
                feeds.append(e.feed);
        }
    }
    // Called outside the lock: a feed may take its time and may add or remove feeds.
    for (const auto &feed : feeds)
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
