// qst-cli: the archiver's engine without a window, for servers, cron and scripts.
#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"

#include <QCoreApplication>
#include <QDir>

#include <cstring>

using namespace qst::cli;

namespace {

const CliCommand kCommands[] = {
    {"meter add",
     "meter add --name NAME --serial S --address A --port N [--modem --phone NUMBER] [--devtype 1|2]\n"
     "            [--group G] [--schedule HH:MM[,HH:MM...]]\n"
     "      Registers a meter as the meter dialog does; prints its number.",
     RunMeterAdd},
    {"meter set",
     "meter set SERIAL --mail ADDR[,ADDR...]\n"
     "      Sets the meter's mail address for scheduled documents (\"\" clears it).",
     RunMeterSet},
    {"meter list", "meter list\n      Lists the registered meters, one per line (TAB-separated).", RunMeterList},
    {"group add",
     "group add NAME [--parent G]\n"
     "      Creates a group under group G (default 0, the root), as \"Создать группу\" does; prints its number.",
     RunGroupAdd},
    {"group list", "group list\n      Lists the groups: number, name and parent group, one per line (TAB-separated).",
     RunGroupList},
    {"group del",
     "group del G [--with-meters]\n"
     "      Deletes an empty group. With --with-meters its meters go too, with their records, each\n"
     "      listed; a group holding groups is refused with their list.",
     RunGroupDel},
    {"port set",
     "port set N DEVICE [--fast]\n"
     "      Maps port number N (1..64) to a serial device, e.g. /dev/ttyUSB0, or to a network link\n"
     "      tcp://HOST:PORT (a GPRS modem or a serial server; IPv6 in brackets). --fast ends each\n"
     "      answer by its length instead of 100 ms of silence (off by default: old converters need\n"
     "      the silence).",
     RunPortSet},
    {"poll",
     "poll --serial S [--current] [--hourly FROM TO] [--daily FROM TO] [--monthly FROM TO]\n"
     "            [--journal COUNT] [--reread] [--fill-gaps [--days N]] [--timeout SECONDS]\n"
     "      Reads the meter now, as the read buttons do, until its requests are done (default\n"
     "      timeout 600 s). Log lines go to standard output. Exit 0 when no step failed.\n"
     "      --fill-gaps also reads the missing records the calculator still holds (of the last N\n"
     "      days; default: as far back as its rings reach), never overwriting a sound stored one\n"
     "      (a damaged line is replaced). Missing counts from where collection began.",
     RunPoll},
    {"run",
     "run [--listen HOST:PORT [--tls-cert F --tls-key F] [--insecure-http] [--rate-limit N]]\n"
     "      Polls every meter by its schedule, makes and mails the scheduled documents and retries\n"
     "      unsent mail, sends alarms and publishes over MQTT (alarm set, mqtt set), until SIGINT or\n"
     "      SIGTERM; with --listen also serves the web portal. --rate-limit: requests per minute from\n"
     "      one address (default 6000; 0 none; behind a reverse proxy every client shares its address).",
     RunService},
    {"serve", "serve [--listen HOST:PORT] [--tls-cert F --tls-key F] [--insecure-http] [--rate-limit N]\n      Serves the web portal "
              "read-only (default 127.0.0.1:8080) until SIGINT or SIGTERM.", RunServe},
    {"report-rows",
     "report-rows --serial S --kind hourly|daily|monthly|journal --system 1|2|3 --from DATE --to DATE\n"
     "            [--items 0,1,2,...] [--statement] [--integrators] [--out FILE [--format csv|xlsx] ...]\n"
     "      Prints a report's rows as the documents show them (cells followed by TAB); with --out\n"
     "      writes them as CSV or XLSX (options as for export).",
     RunReportRows},
    {"report",
     "report --serial S --kind hourly|daily|monthly|journal --system 1|2|3 --from DATE --to DATE\n"
     "            [--items 0,1,...] [--statement] [--landscape] [--no-integrators] [--faults] [--no-breaks]\n"
     "            [--yes] --out FILE.docx [--pdf FILE.pdf [--pdf-timeout SECONDS]]\n"
     "      Writes the protocol (or with --statement the heat supply statement) as the report page\n"
     "      does. Exit 0 written, 1 refused period, unknown meter or unwritable file.\n"
     "  report --group N --out-dir DIR [--name \"{serial} {name} {from}.docx\"] [other options as above]\n"
     "      One document per meter of group N and its subgroups (0: every meter), named by the pattern\n"
     "      ({serial} {name} {abon} {from} {to}; always inside DIR); a summary at the end. Exit 0 when\n"
     "      every document was written.",
     RunReport},
    {"export",
     "export --serial S --kind hourly|daily|monthly|journal|current-history [--system 1|2|3] --from DATE\n"
     "            --to DATE [--format csv|xlsx] [--csv-dialect russian|plain] [--encoding utf-8|windows-1251]\n"
     "            --out FILE\n"
     "      Writes the records of the period as the archive page shows them, as CSV (';' and decimal comma\n"
     "      unless --csv-dialect plain) or XLSX. The file is written whole or not at all.",
     RunExport},
    {"check",
     "check --serial S --from DATE --to DATE [--out FILE [--format csv|xlsx]]\n"
     "      Checks that the archive adds up: hours against days, days against months, the archive\n"
     "      against the growth of the totals, operating + stop hours against 24. Prints the\n"
     "      differences. Exit 0 clean, 1 differences found.",
     RunCheck},
    {"import",
     "import [--yes] FILE...\n"
     "      Loads archive dumps (.arch) as \"Считать архив из файла\" does: lists their calculators and\n"
     "      asks for confirmation (--yes: without asking), registers unknown calculators, stores the\n"
     "      current values, archives and journal. Exit 0 when every file loaded.",
     RunImport},
    {"gaps",
     "gaps --serial S --kind hourly|daily|monthly [--from DATE --to DATE]\n"
     "      Prints the missing records as runs, one per line: first, last, count (TAB-separated).\n"
     "      Default period: the last 31 days (hourly), year (daily) or 3 years (monthly) of\n"
     "      completed records; a bare --to date includes that whole day.",
     RunGaps},
    {"status",
     "status [--json] [--check]\n"
     "      Every meter's health: last answer and failure, newest records, missing hours of the last\n"
     "      31 days, abnormal situations of the last day, overdue. --check prints one summary line and\n"
     "      exits as a monitoring plugin: 0 all fine, 1 some meter misses records its calculator still\n"
     "      holds or the database copy needs db sync, 2 some meter is overdue, 3 the data root cannot\n"
     "      be read.",
     RunStatus},
    {"db set",
     "db set URL [--node NAME]\n"
     "      Copies every record this data root stores into PostgreSQL as well. URL: a libpq connection\n"
     "      string or postgresql://user@host:port/db; the password goes in ~/.pgpass or PGPASSWORD,\n"
     "      never in Tree.ini. NAME tells this poller's records apart (default: the host name; up to\n"
     "      64 characters, no control characters).",
     RunDbSet},
    {"db off", "db off\n      Stops copying to the database (what waits in the outbox stays there).", RunDbOff},
    {"db init", "db init\n      Creates or updates the database's tables.", RunDbInit},
    {"db sync",
     "db sync [--serial S] [--from DATE]\n"
     "      Sends what the files already hold (a new database, an old data root, after a full disk or a\n"
     "      damaged outbox). Safe to repeat: records already there are not duplicated. Exit 0 when all\n"
     "      went in; a sync of every meter and time clears \"run db sync\" in db status and status.",
     RunDbSync},
    {"db status",
     "db status [--json]\n"
     "      The database copy: whether the database answers, records waiting in the outbox and the\n"
     "      lag, the last commit, the last error, records the database refused, and whether db sync\n"
     "      must send records the outbox lost or could not take.",
     RunDbStatus},
    {"user add",
     "user add NAME --role admin|operator|viewer|consumer [--meters S1,S2,...] [--group G]\n"
     "      Adds an account of the web portal. The password is asked twice on a terminal, or read as\n"
     "      one line from standard input; never from the command line. A consumer sees only the\n"
     "      meters (by serial) and groups (by number or name; --group may repeat) named here.",
     RunUserAdd},
    {"user passwd", "user passwd NAME\n      Sets an account's password, read as user add reads it.", RunUserPasswd},
    {"user del", "user del NAME\n      Deletes an account and its tokens (never the last admin).", RunUserDel},
    {"user list",
     "user list\n      Lists the accounts: name, role, meters, groups and the number of tokens (TAB-separated).",
     RunUserList},
    {"user token",
     "user token NAME [--revoke]\n"
     "      Prints a new API token for scripts (Authorization: Bearer TOKEN); it is shown only this once\n"
     "      and stored hashed. --revoke revokes every token of the account.",
     RunUserToken},
    {"mail set",
     "mail set --host H --port P --security starttls|tls|none --from ADDRESS [--user U --password-file F]\n"
     "            [--ca-file F] [--insecure]\n"
     "      Where mail goes (kept in Mail.ini of the data root). The password stays in file F (mode 0600,\n"
     "      e.g. a systemd credential); only its path is kept. Certificates are verified unless --insecure.",
     RunMailSet},
    {"mail test", "mail test ADDRESS\n      Sends a test mail. Exit 0 when the server accepted it.", RunMailTest},
    {"schedule add",
     "schedule add NAME --kind hourly|daily|monthly|journal|statement --system 1|2|3 --group G\n"
     "            --period previous-day|previous-week|previous-month --at \"DAY HH:MM\" --out-dir DIR\n"
     "            [--mail ADDR,...] [--items 0,1,...] [--landscape] [--pdf] [--grace HOURS]\n"
     "            [--subject TEMPLATE] [--body TEMPLATE] [--name PATTERN]\n"
     "      Documents made by qst-cli run for each period: a day's on the next day at HH:MM, a week's\n"
     "      (Monday to Sunday) on the Monday after at HH:MM, a month's on day DAY of the next month\n"
     "      (its last day when shorter) at HH:MM. A period waits for its records up to HOURS (default\n"
     "      24) after that; the mail then says what is missing. Mail to ADDR and to each meter's own\n"
     "      address (meter set). Templates: {serial} {name} {consumer} {from} {to} {period}.",
     RunScheduleAdd},
    {"schedule list", "schedule list\n      Lists the schedules and the newest period each has done.", RunScheduleList},
    {"schedule del", "schedule del NAME\n      Deletes a schedule.", RunScheduleDel},
    {"schedule run",
     "schedule run NAME [--dry-run]\n"
     "      Makes and sends the latest ended period now. Exit 0 when every document was written and\n"
     "      every mail accepted; mails not accepted stay in the outbox for qst-cli run.",
     RunScheduleRun},
    {"alarm set",
     "alarm set [--webhook URL [--secret-file F] [--ca-file F]] [--mail ADDR,...] [--mqtt] [--per-hour N]\n"
     "            [--db-offline-minutes N] [--disk-free-percent N]\n"
     "      Where `run` sends alarms (a meter overdue, an abnormal situation, records the ring will lose,\n"
     "      the database copy offline, the disk nearly full); channels not given are off. The webhook\n"
     "      gets a JSON POST signed in X-QST-Signature: sha256=HMAC of the body with the secret in F.",
     RunAlarmSet},
    {"alarms", "alarms [--json]\n      The active alarms: serial, kind, raised, text (TAB-separated).", RunAlarms},
    {"mqtt set",
     "mqtt set --url mqtt://HOST:PORT [--user U --password-file F] [--node NAME] [--ca-file F]\n"
     "      `run` publishes every stored record to qst/NODE/SERIAL/KIND (current, history, hourly, daily,\n"
     "      monthly, journal; QoS 1) and the health to qst/NODE/SERIAL/health; mqtts:// uses TLS.",
     RunMqttSet},
    {"mqtt off", "mqtt off\n      Stops publishing.", RunMqttOff},
};

void PrintHelp()
{
    QString text = QStringLiteral(
        "Usage: qst-cli [--data-dir DIR] COMMAND [OPTIONS]\n"
        "       qst-cli --help | --version\n\n"
        "QST Archiver without a window. DIR is the data root holding Tree.ini and DATA; without\n"
        "--data-dir it is the executable's folder when Tree.ini is there or the folder is writable\n"
        "(not /usr/bin), otherwise the per-user data folder.\n\nCommands:\n");
    for (const CliCommand &c : kCommands)
        text += QStringLiteral("  ") + QString::fromUtf8(c.usage) + u'\n';
    text += QStringLiteral(
        "\nDATE is an ISO 8601 date (taken at 12:00, as a date picker carries a time of day) or date-time.\n"
        "Exit codes: 0 done, 1 failed or refused, 2 bad command line.\n");
    PrintLine(stdout, text);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QST Archiver"));
    QCoreApplication::setOrganizationName(QStringLiteral("QST"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QST_VERSION_TEXT));

    QStringList args = app.arguments();
    const QString program = args.takeFirst();
    QString dataDir;
    bool dataDirGiven = false;
    while (!args.isEmpty() && args.first().startsWith(u'-')) {
        const QString option = args.takeFirst();
        if (option == QStringLiteral("--help") || option == QStringLiteral("-h")) {
            PrintHelp();
            return kExitOk;
        }
        if (option == QStringLiteral("--version")) {
            PrintLine(stdout, QStringLiteral("qst-cli " QST_VERSION_TEXT));
            return kExitOk;
        }
        if (option == QStringLiteral("--data-dir")) {
            if (args.isEmpty())
                return UsageError(QStringLiteral("qst-cli: --data-dir needs a folder (see qst-cli --help)"));
            dataDir = args.takeFirst();
            dataDirGiven = true;
        } else if (option.startsWith(QStringLiteral("--data-dir="))) {
            dataDir = option.mid(11);
            dataDirGiven = true;
        } else {
            PrintLine(stderr, QStringLiteral("qst-cli: unknown option %1 (see qst-cli --help)").arg(option));
            return kExitUsage;
        }
    }
    // An empty --data-dir would quietly become the executable's folder.
    if (dataDirGiven && dataDir.trimmed().isEmpty())
        return UsageError(QStringLiteral("qst-cli: --data-dir needs a folder (see qst-cli --help)"));
    if (args.isEmpty())
        return UsageError(QStringLiteral("qst-cli: a command is missing (see qst-cli --help)"));
    for (const CliCommand &c : kCommands) {
        const QStringList words = QString::fromUtf8(c.name).split(u' ');
        if (args.mid(0, words.size()) == words) {
            args = args.mid(words.size());
            // --data-dir may also follow the command word ("qst-cli run --data-dir DIR").
            for (int i = 0; i < args.size(); ++i) {
                if (args[i] == QStringLiteral("--data-dir")) {
                    if (i + 1 >= args.size())
                        return UsageError(QStringLiteral("qst-cli: --data-dir needs a folder (see qst-cli --help)"));
                    dataDir = args[i + 1];
                    dataDirGiven = true;
                    args.remove(i, 2);
                    --i;
                } else if (args[i].startsWith(QStringLiteral("--data-dir="))) {
                    dataDir = args[i].mid(11);
                    dataDirGiven = true;
                    args.remove(i);
                    --i;
                }
            }
            if (dataDirGiven && dataDir.trimmed().isEmpty())
                return UsageError(QStringLiteral("qst-cli: --data-dir needs a folder (see qst-cli --help)"));
            const QString name = words.join(u' ');
            CliContext context;
            context.dataRoot = qst::ResolveDataRoot(dataDir, QCoreApplication::applicationDirPath());
            context.args = QStringList{program + u' ' + name} + args;
            return c.run(context);
        }
    }
    PrintLine(stderr, QStringLiteral("qst-cli: unknown command %1 (see qst-cli --help)").arg(args.join(u' ')));
    return kExitUsage;
}
