#pragma once

// The page's data is the engine's: the portal shows the same rows.
#include "reports/CurrentValues.h"
