// The portal against the engine work it serves, in the same run: a year of hourly records
// as JSON against loading the same files; the meters list of 1,000 meters against the
// summary alone; a month's statement download against building it with qst-cli's code.
#include "BenchTiming.h"
#include "ReportYear.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/TextFile.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "registry/Registry.h"
#include "reports/ReportRequest.h"
#include "reports/WordDocument.h"
#include "storage/ArchiveView.h"
#include "web/Accounts.h"
#include "web/WebServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

#include <curl/curl.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace qst;
using qst::bench::MedianSeconds;

namespace {

void Line(const char *job, double seconds, const char *baseline, double baselineSeconds)
{
    std::printf("%-44s %9.1f ms   baseline (%s) %9.1f ms   ratio %.2fx\n", job, seconds * 1e3, baseline,
        baselineSeconds * 1e3, seconds / baselineSeconds);
}

// A client as a browser is one: a kept connection and large reads (libcurl, 512 KiB buffer),
// so the figure is the portal's work and the wire, not a small-buffer client's copying.
class CurlClient
{
public:
    CurlClient(int port, const std::string &token)
        : m_curl(curl_easy_init())
        , m_base("http://127.0.0.1:" + std::to_string(port))
    {
        m_headers = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_curl, CURLOPT_BUFFERSIZE, 512L * 1024);
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &CurlClient::Write);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_body);
        curl_easy_setopt(m_curl, CURLOPT_TCP_NODELAY, 1L);
        m_body.reserve(4 << 20);
    }
    ~CurlClient()
    {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_curl);
    }
    // The body's size; 0 on failure.
    size_t Get(const std::string &path)
    {
        m_body.clear();
        curl_easy_setopt(m_curl, CURLOPT_URL, (m_base + path).c_str());
        long status = 0;
        if (curl_easy_perform(m_curl) != CURLE_OK)
            return 0;
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
        return status == 200 ? m_body.size() : 0;
    }

private:
    static size_t Write(char *data, size_t size, size_t count, void *body)
    {
        static_cast<std::string *>(body)->append(data, size * count);
        return size * count;
    }
    CURL *m_curl;
    curl_slist *m_headers = nullptr;
    std::string m_base;
    std::string m_body;
};

// Meters 1000..1999 with two days of hourly records each, up to now.
void AddMeters(const QString &root, Registry &registry)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 1000; ++i) {
        const int meter = registry.IssueMeterNumber();
        registry.AppendNumber(GroupSection(0), reg::kCList, meter);
        const quint16 serial = quint16(1000 + i);
        registry.file().WriteString(MeterSection(meter), reg::kSerial, QString::number(serial));
        registry.file().WriteString(MeterSection(meter), reg::kName, QStringLiteral("Узел %1").arg(i));
        QList<TimedLine> lines;
        for (int h = 48; h >= 1; --h) {
            const QDateTime at = now.addSecs(-3600 * h);
            ArchiveValues a;
            a.time = DayCountFromParts(at.date(), QTime(at.time().hour(), 0));
            a.F[0] = 0.1f;
            lines.append({ BuildArchiveLine(1, a), a.time });
        }
        // Two months may be touched: each month's lines go to its own file.
        QMap<int, QList<TimedLine>> byMonth;
        for (const TimedLine &line : lines) {
            const QDate d = DateFromDayCount(line.time);
            byMonth[d.year() * 100 + d.month()].append(line);
        }
        for (auto it = byMonth.cbegin(); it != byMonth.cend(); ++it)
            InsertArchiveLines(DataFilePath(root, DataKind::Hourly, serial, it.key() / 100, it.key() % 100), *it, true);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SetSyncToDiskForBenchmarks(false);
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir(root).mkdir(QStringLiteral("DATA"));
    qst::bench::WriteYear(root);
    {
        Registry registry(TreeIniPath(root));
        const int meter = registry.IssueMeterNumber();
        registry.AppendNumber(GroupSection(0), reg::kCList, meter);
        registry.file().WriteString(MeterSection(meter), reg::kSerial, QStringLiteral("100"));
        registry.file().WriteString(MeterSection(meter), reg::kName, QStringLiteral("Котельная"));
    }
    web::AccountStore accounts(root);
    QString error;
    accounts.Add({ QStringLiteral("bench"), web::Role::Admin, {}, {} }, QStringLiteral("bench password"), &error);
    const std::string token = accounts.IssueToken(QStringLiteral("bench"), &error).toStdString();

    web::WebOptions options;
    options.dataRoot = root;
    options.staticRoot = root;
    options.requestsPerMinute = 0;
    // The meters list caches the summary for a while: the bench moves time on to measure a cold one.
    std::atomic<qint64> clockMs { 0 };
    options.clock = [&clockMs] { return clockMs.load(); };
    web::WebServer server(options);
    if (!server.Listen(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::printf("cannot listen: %s\n", qPrintable(error));
        return 1;
    }
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(120, 0);
    const httplib::Headers auth { { "Authorization", "Bearer " + token } };

    // A year of hourly records: plain, and gzip-compressed as a browser asks for it.
    httplib::Client gzipClient("127.0.0.1", server.Port());
    gzipClient.set_read_timeout(120, 0);
    client.set_decompress(false); // sends no Accept-Encoding
    const double gzipped = MedianSeconds(
        5, [&] { gzipClient.Get("/api/v1/meters/100/records?kind=hourly&from=2010-01-01&to=2010-12-31", auth); });
    size_t jsonBytes = 0;
    // 25 runs: each of the server's eight threads warms up on its first requests, which five
    // runs would mostly measure.
    const int runs = 25;
    const double json = MedianSeconds(runs, [&] {
        const auto r = client.Get("/api/v1/meters/100/records?kind=hourly&from=2010-01-01&to=2010-12-31", auth);
        jsonBytes = r ? r->body.size() : 0;
    });
    CurlClient curl(server.Port(), token);
    size_t curlBytes = 0;
    const double jsonCurl = MedianSeconds(runs,
        [&] { curlBytes = curl.Get("/api/v1/meters/100/records?kind=hourly&from=2010-01-01&to=2010-12-31"); });
    int loaded = 0;
    const double files = MedianSeconds(runs, [&] {
        loaded = int(LoadArchiveRecords(root, QStringLiteral("100"), ArchivePageKind::Hourly,
            HourlyPeriod(QDate(2010, 1, 1), QTime(0, 0), QDate(2010, 12, 31), QTime(23, 59, 59)))
                         .size());
    });
    // The server loads on one of its pool's threads: the same load there.
    const double filesOnThread = MedianSeconds(runs, [&] {
        std::thread([&] {
            LoadArchiveRecords(root, QStringLiteral("100"), ArchivePageKind::Hourly,
                HourlyPeriod(QDate(2010, 1, 1), QTime(0, 0), QDate(2010, 12, 31), QTime(23, 59, 59)));
        }).join();
    });
    std::printf("records: %d hourly records, %zu bytes of JSON\n", loaded, jsonBytes);
    if (curlBytes != jsonBytes)
        std::printf("the two clients got different bodies: %zu and %zu bytes\n", curlBytes, jsonBytes);
    Line("year of hourly records as JSON (goal <= 2x)", jsonCurl, "loading the files", files);
    Line("the same through httplib's client", json, "loading the files", files);
    Line("the same, gzip-compressed", gzipped, "loading the files", files);
    Line("loading the files on another thread", filesOnThread, "loading the files", files);

    // A month's statement.
    const double download = MedianSeconds(5,
        [&] { client.Get("/api/v1/meters/100/document?kind=statement&system=1&from=2010-03-01&to=2010-03-31", auth); });
    const double built = MedianSeconds(5, [&] {
        ReportArguments a;
        a.statement = true;
        a.from = QDateTime(QDate(2010, 3, 1), QTime(12, 0));
        a.to = QDateTime(QDate(2010, 3, 31), QTime(12, 0));
        ReportOptions o;
        ReadReportArguments(a, root, 100, &o);
        TWordDocument document;
        BuildReportDocument(root, 100, o, true, document);
        document.ToDocx();
    });
    Line("month's statement download (goal <= 1.5x)", download, "qst-cli's building", built);

    // 1,000 meters.
    {
        Registry registry(TreeIniPath(root));
        AddMeters(root, registry);
    }
    size_t meters = 0;
    // The first request computes the summary; the next ones within its 10 s share it.
    clockMs += 3600 * 1000;
    const double cold = MedianSeconds(1, [&] { client.Get("/api/v1/meters", auth); });
    const double list = MedianSeconds(5, [&] {
        const auto r = client.Get("/api/v1/meters", auth);
        meters = r ? size_t(QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).array().size()) : 0;
    });
    const double summary = MedianSeconds(5, [&] {
        Registry registry(TreeIniPath(root));
        MeterHealth health(root);
        BuildMeterSummary(root, registry, health, DayCountFromDateTime(QDateTime::currentDateTime()));
    });
    std::printf("meters: %zu in the list\n", meters);
    Line("meters list of 1,001 meters, first request", cold, "the summary alone", summary);
    Line("meters list of 1,001 meters (goal < 100 ms)", list, "the summary alone", summary);
    // For a load test from outside (wrk): keeps serving this data for the given seconds.
    if (const int hold = qEnvironmentVariableIntValue("QST_WEB_BENCH_SERVE_SECONDS"); hold > 0) {
        std::printf("serving on 127.0.0.1:%d, Authorization: Bearer %s\n", server.Port(), token.c_str());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(hold));
    }
    return 0;
}
