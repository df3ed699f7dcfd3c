#pragma once

#include <QtGlobal>

#include <mutex>

namespace qst {

// Serializes every write to one meter's files (exchange threads, the import, archive
// clearing, meter deletion), one mutex per serial number. Recursive: a bulk writer holds it
// around the single writers.
std::recursive_mutex &MeterWriteMutex(quint16 serial);

class MeterWriteLock
{
public:
    explicit MeterWriteLock(quint16 serial)
        : m_lock(MeterWriteMutex(serial))
    {
    }

private:
    std::lock_guard<std::recursive_mutex> m_lock;
};

} // namespace qst
