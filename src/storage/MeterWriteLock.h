#pragma once

// The per-meter write lock lives in common: the registry's meter deletion takes it too.
#include "common/MeterWriteLock.h"
