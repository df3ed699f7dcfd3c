#include "ShellOptions.h"

namespace qst {

ShellOptions ParseShellOptions(const QStringList &args, bool qtSeen)
{
    ShellOptions o;
    const QString hint = QStringLiteral(" (see qst-archiver --help)");
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
            o.help = true;
        } else if (a == QStringLiteral("--version")) {
            o.version = true;
        } else if (a == QStringLiteral("--read-only")) {
            o.readOnly = true;
        } else if (a == QStringLiteral("--data-dir")) {
            if (i + 1 >= args.size() || args[i + 1].trimmed().isEmpty()) {
                o.error = QStringLiteral("qst-archiver: --data-dir needs a folder") + hint;
                return o;
            }
            o.dataDir = args[++i];
        } else if (a.startsWith(QStringLiteral("--data-dir="))) {
            o.dataDir = a.mid(11);
            if (o.dataDir.trimmed().isEmpty()) {
                o.error = QStringLiteral("qst-archiver: --data-dir needs a folder") + hint;
                return o;
            }
        } else if (a.startsWith(QStringLiteral("--")) || qtSeen) {
            o.error = QStringLiteral("qst-archiver: unknown option or argument %1").arg(a) + hint;
            return o;
        }
    }
    return o;
}

QString ShellHelpText()
{
    return QStringLiteral(
        "Usage: qst-archiver [--data-dir DIR] [--read-only] [Qt options such as -platform NAME]\n"
        "\n"
        "QST Archiver: polls QST-5.4 and QST-5.4.4 heat-energy calculators, keeps their archives,\n"
        "shows them and builds the accounting reports.\n"
        "\n"
        "  --data-dir DIR  the data root holding Tree.ini and DATA; without it the executable's folder\n"
        "                  when Tree.ini is there or the folder is writable (not /usr/bin), otherwise\n"
        "                  the per-user data folder\n"
        "  --read-only     views and reports only: no polling, no changes to the data root, no lock;\n"
        "                  for looking at a data root that another program (the qst-poller service)\n"
        "                  is writing\n"
        "  -h, --help      this text\n"
        "  --version       the program's version\n"
        "\n"
        "Exit codes: 0 closed, 1 the data root is held by another program, 2 bad command line.\n");
}

QString ShellVersionLine()
{
    return QStringLiteral("qst-archiver " QST_VERSION_TEXT);
}

} // namespace qst
