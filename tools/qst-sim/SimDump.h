#pragma once

#include <QStringList>

namespace qst {

// "qst-sim dump ...": writes an archive dump file of the simulated calculator. args are the
// words after "dump". Returns the process exit code.
int RunDump(const QStringList &args);

} // namespace qst
