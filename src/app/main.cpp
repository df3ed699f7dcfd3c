// qst-archiver: the desktop application.
#include "Application.h"
#include "MainForm.h"
#include "ShellOptions.h"

#include "common/DataRoot.h"
#include "common/DataRootLock.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminate(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the main loop closes the window.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void Print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char **argv)
{
    // --help, --version and usage errors come before the application object, which needs a display.
    QStringList rawArgs;
    for (int i = 0; i < argc; ++i)
        rawArgs << QString::fromLocal8Bit(argv[i]);
    qst::ShellOptions options = qst::ParseShellOptions(rawArgs, false);
    if (options.error.isEmpty() && options.help) {
        Print(stdout, qst::ShellHelpText());
        return 0;
    }
    if (options.error.isEmpty() && options.version) {
        Print(stdout, qst::ShellVersionLine() + u'\n');
        return 0;
    }
    if (!options.error.isEmpty()) {
        Print(stderr, options.error + u'\n');
        return 2;
    }

    qst::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QST Archiver"));
    QApplication::setOrganizationName(QStringLiteral("QST"));
    QApplication::setApplicationVersion(QStringLiteral(QST_VERSION_TEXT));
    if (!qst::InstallQtRussianTranslation(app))
        qWarning("Qt's Russian translation (qtbase_ru.qm, package qt6-translations-l10n) is not installed");
    // Whatever Qt did not take as its own is a usage error too.
    options = qst::ParseShellOptions(app.arguments(), true);
    if (!options.error.isEmpty()) {
        Print(stderr, options.error + u'\n');
        return 2;
    }
    const QString dataRoot = qst::ResolveDataRoot(options.dataDir, QCoreApplication::applicationDirPath());

    // A read-only window takes no lock: it may look at a data root a writer holds.
    qst::DataRootLock lock(dataRoot);
    QString error;
    QString notice;
    if (!options.readOnly && !lock.TryLock(&error, &notice)) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), error);
        return 1;
    }
    if (!notice.isEmpty())
        qWarning("%s", qUtf8Printable(notice));

    qst::TMainForm form(dataRoot, options.readOnly ? qst::TMainForm::Access::ReadOnly
                                                   : qst::TMainForm::Access::ReadWrite);

    // SIGTERM and SIGINT close the window exactly as its close command does.
    std::unique_ptr<QSocketNotifier> notifier;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &form, [&form] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            form.close();
        });
        struct sigaction action = {};
        action.sa_handler = OnTerminate;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

    form.show();
    const int code = app.exec();
    notifier.reset();
    return code;
}
