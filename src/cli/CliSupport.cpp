#include "CliSupport.h"
#include "CliCommand.h"

#include "common/DataRoot.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qst::cli {

WritingSession::WritingSession(const QString &dataRoot)
    : m_dataRoot(dataRoot)
    , m_lock(dataRoot)
{
}

bool WritingSession::Begin(QString *error)
{
    if (!QDir().mkpath(m_dataRoot)) {
        *error = QStringLiteral("Не удалось создать каталог данных %1").arg(QDir::toNativeSeparators(m_dataRoot));
        return false;
    }
    QString notice;
    if (!m_lock.TryLock(error, &notice))
        return false;
    if (!notice.isEmpty())
        PrintLine(stderr, notice);
    const QString data = DataFolderPath(m_dataRoot);
    if (!QDir().mkpath(data)) {
        *error = QStringLiteral("Не удалось создать папку %1").arg(QDir::toNativeSeparators(data));
        return false;
    }
    // A Tree.ini or DATA left behind by another user would fail every poll of a service; refuse at once.
    for (const QString &path : {TreeIniPath(m_dataRoot), data}) {
        const QFileInfo info(path);
        if (info.exists() && !info.isWritable()) {
            *error = QStringLiteral("Нет права записи в %1").arg(QDir::toNativeSeparators(path));
            m_lock.Unlock();
            return false;
        }
    }
    return true;
}

bool WritingSession::BeginOrReport()
{
    QString error;
    if (Begin(&error))
        return true;
    PrintLine(stderr, error);
    return false;
}

int UsageError(const QString &text)
{
    PrintLine(stderr, text);
    return kExitUsage;
}

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    if (g_signalPipe[0] < 0 && ::pipe(g_signalPipe) == 0) {
        ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
        ::fcntl(g_signalPipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(g_signalPipe[1], F_SETFD, FD_CLOEXEC);
    }
    if (g_signalPipe[0] < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        [[maybe_unused]] const auto got = ::read(g_signalPipe[0], buffer, sizeof buffer);
        emit Terminate();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

QDateTime ParseIsoLocal(const QString &text, bool dateNoon)
{
    const QString t = text.trimmed();
    if (t.size() == 10) {
        const QDate date = QDate::fromString(t, Qt::ISODate);
        return date.isValid() ? QDateTime(date, dateNoon ? QTime(12, 0) : QTime(0, 0)) : QDateTime();
    }
    QDateTime dt = QDateTime::fromString(t, Qt::ISODate);
    if (!dt.isValid())
        return {};
    // Local wall-clock time whatever offset the text names.
    return QDateTime(dt.date(), dt.time());
}

bool AskYes()
{
    std::fputs("[y/N] ", stdout);
    std::fflush(stdout);
    QTextStream in(stdin);
    const QString answer = in.readLine().trimmed().toLower();
    return answer == QStringLiteral("y") || answer == QStringLiteral("yes") || answer == QStringLiteral("д") ||
           answer == QStringLiteral("да");
}

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool ParseCommandOptions(QCommandLineParser &parser, const QStringList &args, int *exitCode)
{
    if (!parser.parse(args)) {
        PrintLine(stderr, parser.errorText());
        *exitCode = kExitUsage;
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        PrintLine(stdout, parser.helpText());
        *exitCode = kExitOk;
        return false;
    }
    return true;
}

} // namespace qst::cli
