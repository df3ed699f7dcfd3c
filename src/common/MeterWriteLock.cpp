#include "MeterWriteLock.h"

#include <array>

namespace qst {

std::recursive_mutex &MeterWriteMutex(quint16 serial)
{
    static std::array<std::recursive_mutex, 65536> mutexes;
    return mutexes[serial];
}

} // namespace qst
