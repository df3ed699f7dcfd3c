// The portal's accounts from the command line; passwords come from the terminal or standard
// input, never from the arguments (which every user of the machine can read in ps).
#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "registry/Registry.h"
#include "web/Accounts.h"

#include <QCommandLineParser>

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace qst::cli {

namespace {

using web::Account;
using web::AccountStore;
using web::Role;

// One line of standard input without its line end; false at end of input with nothing read.
bool ReadLine(std::string *line)
{
    line->clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line->push_back(char(c));
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return any;
}

// Asks on the terminal with echo off; restores the terminal whatever happens.
bool ReadHidden(const QString &prompt, QString *password)
{
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    termios saved {};
    const bool haveTerminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool ok = ReadLine(&line);
    if (haveTerminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    *password = QString::fromUtf8(line.data(), qsizetype(line.size()));
    std::fill(line.begin(), line.end(), '\0');
    return ok;
}

// The new password: typed twice on a terminal, or one line of standard input.
bool ReadNewPassword(QString *password)
{
    if (!StdinIsTerminal()) {
        std::string line;
        if (!ReadLine(&line)) {
            PrintLine(stderr, QStringLiteral("Пароль не получен: стандартный ввод пуст."));
            return false;
        }
        *password = QString::fromUtf8(line.data(), qsizetype(line.size()));
        std::fill(line.begin(), line.end(), '\0');
    } else {
        QString again;
        if (!ReadHidden(QStringLiteral("Пароль: "), password)
            || !ReadHidden(QStringLiteral("Повторите пароль: "), &again))
            return false;
        if (*password != again) {
            PrintLine(stderr, QStringLiteral("Пароли не совпадают."));
            return false;
        }
    }
    QString error;
    if (!AccountStore::AcceptablePassword(*password, &error)) {
        PrintLine(stderr, error);
        return false;
    }
    return true;
}

// A group the command line names by number or by name; -1 (with the reason on standard
// error) when it names none or more than one.
int ResolveGroup(Registry &registry, const QString &text)
{
    const QList<int> groups = ParseNumberList(registry.file().ReadString(reg::kTree, reg::kGroupList));
    qint64 n = 0;
    if (TryParseInt(text.trimmed(), &n) && groups.contains(int(n)))
        return int(n);
    QList<int> named;
    for (int g : groups) {
        if (registry.file().ReadString(GroupSection(g), reg::kName) == text)
            named << g;
    }
    if (named.size() == 1)
        return named.first();
    if (named.isEmpty()) {
        PrintLine(stderr, QStringLiteral("user: нет группы %1").arg(text));
    } else {
        QStringList numbers;
        for (int g : named)
            numbers << QString::number(g);
        PrintLine(stderr,
            QStringLiteral("user: групп с названием %1 несколько (%2); укажите номер").arg(text, numbers.join(u',')));
    }
    return -1;
}

// The serials and groups of a consumer, each checked against the registry.
bool ResolveRights(
    const QString &dataRoot, const QStringList &meterLists, const QStringList &groupTexts, Account *account)
{
    try {
        Registry registry(TreeIniPath(dataRoot));
        for (const QString &list : meterLists) {
            for (const QString &item : list.split(u',', Qt::SkipEmptyParts)) {
                qint64 serial = 0;
                if (!TryParseInt(item.trimmed(), &serial) || serial < 0 || serial > 65535
                    || (registry.FindMeterBySerialText(quint16(serial)) == 0
                        && registry.FindMeterBySerialInt(serial) == 0)) {
                    PrintLine(stderr, QStringLiteral("user: нет счётчика с серийным номером %1").arg(item.trimmed()));
                    return false;
                }
                if (!account->meters.contains(quint16(serial)))
                    account->meters << quint16(serial);
            }
        }
        for (const QString &text : groupTexts) {
            const int group = ResolveGroup(registry, text);
            if (group < 0)
                return false;
            if (!account->groups.contains(group))
                account->groups << group;
        }
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return false;
    }
    return true;
}

// The single NAME argument of a user command; empty after a usage error.
QString OneName(const QCommandLineParser &parser, const QString &usage)
{
    const QStringList names = parser.positionalArguments();
    if (names.size() != 1 || names.first().isEmpty()) {
        UsageError(QStringLiteral("usage: ") + usage);
        return {};
    }
    return names.first();
}

int Refused(const QString &error)
{
    PrintLine(stderr, error);
    return kExitFailed;
}

} // namespace

int RunUserAdd(const CliContext &context)
{
    const QString usage
        = QStringLiteral("user add NAME --role admin|operator|viewer|consumer [--meters S1,S2,...] [--group G]");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Adds a portal account; the password is read from standard input."));
    parser.addHelpOption();
    const QCommandLineOption role(
        QStringLiteral("role"), QStringLiteral("admin, operator, viewer or consumer."), QStringLiteral("ROLE"));
    const QCommandLineOption meters(
        QStringLiteral("meters"), QStringLiteral("A consumer's meters by serial."), QStringLiteral("S1,S2"));
    const QCommandLineOption group(QStringLiteral("group"),
        QStringLiteral("A consumer's group by number or name (may repeat)."), QStringLiteral("G"));
    parser.addOptions({ role, meters, group });
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The account's name."));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    Account account;
    account.name = OneName(parser, usage);
    if (account.name.isEmpty())
        return kExitUsage;
    if (!AccountStore::ValidName(account.name))
        return UsageError(QStringLiteral("user add: недопустимое имя «%1»: от 1 до 64 символов, без пробелов по "
                                         "краям, управляющих символов, «:» и «/»")
                              .arg(account.name));
    if (!parser.isSet(role) || !web::ParseRole(parser.value(role), &account.role))
        return UsageError(QStringLiteral("user add: --role is admin, operator, viewer or consumer"));
    const bool rights = parser.isSet(meters) || parser.isSet(group);
    if (account.role == Role::Consumer && !rights)
        return UsageError(QStringLiteral("user add: a consumer needs --meters or --group"));
    if (account.role != Role::Consumer && rights)
        return UsageError(QStringLiteral("user add: --meters and --group are for consumers only (%1 sees every meter)")
                              .arg(web::RoleName(account.role)));
    if (!ResolveRights(context.dataRoot, parser.values(meters), parser.values(group), &account))
        return kExitFailed;
    if (account.role == Role::Consumer && account.meters.isEmpty() && account.groups.isEmpty())
        return UsageError(QStringLiteral("user add: a consumer needs --meters or --group"));

    AccountStore store(context.dataRoot);
    if (const QString error = store.FileError(); !error.isEmpty())
        return Refused(error);
    if (store.Find(account.name))
        return Refused(QStringLiteral("Учётная запись «%1» уже есть.").arg(account.name));
    QString password;
    if (!ReadNewPassword(&password))
        return kExitFailed;
    QString error;
    if (!store.Add(account, password, &error))
        return Refused(error);
    return kExitOk;
}

int RunUserPasswd(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sets a portal account's password, read from standard input."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The account's name."));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    const QString name = OneName(parser, QStringLiteral("user passwd NAME"));
    if (name.isEmpty())
        return kExitUsage;
    AccountStore store(context.dataRoot);
    if (const QString error = store.FileError(); !error.isEmpty())
        return Refused(error);
    if (!store.Find(name))
        return Refused(QStringLiteral("Нет учётной записи «%1».").arg(name));
    QString password;
    if (!ReadNewPassword(&password))
        return kExitFailed;
    QString error;
    return store.SetPassword(name, password, &error) ? kExitOk : Refused(error);
}

int RunUserDel(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Deletes a portal account with its tokens."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The account's name."));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    const QString name = OneName(parser, QStringLiteral("user del NAME"));
    if (name.isEmpty())
        return kExitUsage;
    AccountStore store(context.dataRoot);
    QString error;
    return store.Remove(name, &error) ? kExitOk : Refused(error);
}

int RunUserList(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("user list takes no options"));
    AccountStore store(context.dataRoot);
    if (const QString error = store.FileError(); !error.isEmpty())
        return Refused(error);
    PrintLine(stdout, QStringLiteral("name\trole\tmeters\tgroups\ttokens"));
    for (const Account &a : store.List()) {
        QStringList meters;
        for (quint16 s : a.meters)
            meters << QString::number(s);
        QStringList groups;
        for (int g : a.groups)
            groups << QString::number(g);
        PrintLine(stdout,
            QStringList { a.name, web::RoleName(a.role), meters.join(u','), groups.join(u','),
                QString::number(store.TokenCount(a.name)) }
                .join(u'\t'));
    }
    return kExitOk;
}

int RunUserToken(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Issues an API token for scripts (shown once), or revokes all of an account's tokens."));
    parser.addHelpOption();
    const QCommandLineOption revoke(QStringLiteral("revoke"), QStringLiteral("Revoke every token of the account."));
    parser.addOption(revoke);
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The account's name."));
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    const QString name = OneName(parser, QStringLiteral("user token NAME [--revoke]"));
    if (name.isEmpty())
        return kExitUsage;
    AccountStore store(context.dataRoot);
    QString error;
    if (parser.isSet(revoke))
        return store.RevokeTokens(name, &error) ? kExitOk : Refused(error);
    const QString token = store.IssueToken(name, &error);
    if (token.isEmpty())
        return Refused(error);
    PrintLine(stdout, token);
    return kExitOk;
}

} // namespace qst::cli
