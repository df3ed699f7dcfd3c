// qst-archiver: the desktop application.
#include "Application.h"
#include "MainForm.h"

#include "common/DataRoot.h"
#include "common/DataRootLock.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
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

} // namespace

int main(int argc, char **argv)
{
    qst::TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QST Archiver"));
    QApplication::setOrganizationName(QStringLiteral("QST"));
    QApplication::setApplicationVersion(QStringLiteral(QST_VERSION_TEXT));

    QString dataDir;
    bool dataDirGiven = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--data-dir") && i + 1 < args.size()) {
            dataDir = args[++i];
            dataDirGiven = true;
        } else if (args[i].startsWith(QStringLiteral("--data-dir="))) {
            dataDir = args[i].mid(11);
            dataDirGiven = true;
        }
    }
    // An empty --data-dir would quietly become the executable's folder.
    if (dataDirGiven && dataDir.trimmed().isEmpty()) {
        QMessageBox::critical(nullptr, QApplication::applicationName(),
                              QStringLiteral("Параметр --data-dir требует имя каталога."));
        return 1;
    }
    const QString dataRoot = qst::ResolveDataRoot(dataDir, QCoreApplication::applicationDirPath());

    qst::DataRootLock lock(dataRoot);
    QString error;
    QString notice;
    if (!lock.TryLock(&error, &notice)) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), error);
        return 1;
    }
    if (!notice.isEmpty())
        qWarning("%s", qUtf8Printable(notice));

    qst::TMainForm form(dataRoot);

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
