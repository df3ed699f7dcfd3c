#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>

class QCommandLineParser;

namespace qst {
struct ExportTable;
class ExchangeEngine;
namespace web {
class WebServer;
}
}

namespace qst::cli {

// What every command gets: the data root and the arguments after the command word.
struct CliContext
{
    QString dataRoot;
    QStringList args; // the command's own arguments, program name first (for QCommandLineParser)
};

struct CliCommand
{
    const char *name;
    const char *usage;   // one line for qst-cli --help
    int (*run)(const CliContext &context);
};

// Exit codes: 0 done, 1 the command failed or was refused, 2 bad command line.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintLine(FILE *stream, const QString &text);

int RunReportRows(const CliContext &context);
int RunReport(const CliContext &context);
int RunMeterAdd(const CliContext &context);
int RunMeterList(const CliContext &context);
int RunGroupAdd(const CliContext &context);
int RunGroupList(const CliContext &context);
int RunGroupDel(const CliContext &context);
int RunPortSet(const CliContext &context);
int RunPoll(const CliContext &context);
int RunService(const CliContext &context);
int RunServe(const CliContext &context);

// --listen HOST:PORT, --tls-cert F, --tls-key F, --insecure-http of serve and run.
struct WebListen
{
    bool wanted = false;
    QString host = QStringLiteral("127.0.0.1");
    int port = 8080;
    QString cert;
    QString key;
    bool insecure = false;
    int requestsPerMinute = 6000; // per address; 0: no limit
};
// Takes the portal's options out of args (the rest, program name left out, in *rest); an exit
// code other than kExitOk after a usage message.
int TakeListenOptions(const QStringList &args, WebListen *listen, QStringList *rest);
// The portal started on its own threads; null with the reason printed.
std::unique_ptr<web::WebServer> StartWebServer(const QString &dataRoot, const WebListen &listen,
                                               ExchangeEngine *engine);
int RunImport(const CliContext &context);
int RunExport(const CliContext &context);

// --format, --csv-dialect and --encoding, for every command that writes a table.
void AddTableOptions(QCommandLineParser &parser, const QString &defaultFormat);
bool CheckTableOptions(const QCommandLineParser &parser, const QString &command, QString *format, QString *dialect,
                       QString *encoding);
int WriteExportTable(const ExportTable &table, const QString &command, const QString &format, const QString &dialect,
                     const QString &encoding, const QString &out);
int RunCheck(const CliContext &context);
int RunGaps(const CliContext &context);
int RunStatus(const CliContext &context);
int RunDbSet(const CliContext &context);
int RunDbOff(const CliContext &context);
int RunDbInit(const CliContext &context);
int RunDbSync(const CliContext &context);
int RunDbStatus(const CliContext &context);
int RunUserAdd(const CliContext &context);
int RunUserPasswd(const CliContext &context);
int RunUserDel(const CliContext &context);
int RunUserList(const CliContext &context);
int RunUserToken(const CliContext &context);
int RunAlarmSet(const CliContext &context);
int RunAlarms(const CliContext &context);
int RunMqttSet(const CliContext &context);
int RunMqttOff(const CliContext &context);
int RunMailSet(const CliContext &context);
int RunMailTest(const CliContext &context);
int RunScheduleAdd(const CliContext &context);
int RunScheduleList(const CliContext &context);
int RunScheduleDel(const CliContext &context);
int RunScheduleRun(const CliContext &context);
int RunMeterSet(const CliContext &context);

} // namespace qst::cli
