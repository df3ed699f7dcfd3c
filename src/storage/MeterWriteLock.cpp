#include "MeterWriteLock.h"

#include <array>

namespace qst {

std::mutex &MeterWriteMutex(quint16 serial)
{
    static std::array<std::mutex, 65536> mutexes;
    return mutexes[serial];
}

} // namespace qst
