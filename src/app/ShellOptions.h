#pragma once

#include <QString>
#include <QStringList>

namespace qst {

// The desktop application's own command line. Qt's options (-platform, -style, ...) are
// the application object's; `qtSeen` false accepts single-dash words and stray words
// (Qt has not taken its own yet), true refuses whatever is left over.
struct ShellOptions
{
    QString dataDir;
    bool readOnly = false;
    bool help = false;
    bool version = false;
    QString error; // a usage error, one line; empty when the line is fine
};

ShellOptions ParseShellOptions(const QStringList &args, bool qtSeen);
QString ShellHelpText();
QString ShellVersionLine();

} // namespace qst
