// The agent's core operations one by one, so that a slow report can be
// explained. Run by `make bench`; any Google Benchmark flag works here too.
// CPU time is the whole process's, since GLib does part of the D-Bus work on
// threads of its own.
//
// The key lives in a temporary folder made here, and the system bus address
// points nowhere, so nothing of the host's key or NetworkManager is touched.

#include "bridge/Http.h"
#include "report/LinuxHostProbes.h"
#include "report/LocalReports.h"
#include "report/StatusReport.h"
#include "security/SecurityManager.h"
#include "wifi/LinuxLocationAuthorization.h"
#include "wifi/WifiBackend.h"
#include "wifi/WifiScanner.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace corvane;

constexpr int kNetworks = 30;
constexpr std::string_view kOrigin = "https://portal.example";

// What Chromium sends for a private-network preflight and for the report.
constexpr std::string_view kPreflightRequest =
    "OPTIONS / HTTP/1.1\r\n"
    "Host: 127.0.0.1:12180\r\n"
    "Connection: keep-alive\r\n"
    "Accept: */*\r\n"
    "Access-Control-Request-Method: GET\r\n"
    "Access-Control-Request-Private-Network: true\r\n"
    "Origin: https://portal.example\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
    "Safari/537.36\r\n"
    "Sec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Dest: empty\r\n"
    "Referer: https://portal.example/\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n"
    "\r\n";

constexpr std::string_view kReportRequest =
    "GET / HTTP/1.1\r\n"
    "Host: 127.0.0.1:12180\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
    "Safari/537.36\r\n"
    "Accept: */*\r\n"
    "Origin: https://portal.example\r\n"
    "Sec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Dest: empty\r\n"
    "Referer: https://portal.example/\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n"
    "\r\n";

std::filesystem::path& scratchFolder()
{
    static std::filesystem::path folder;
    return folder;
}

std::filesystem::path keyFolder()
{
    return scratchFolder() / "key";
}

// The file key: the TPM's own row is run-bench's, against the agent.
std::unique_ptr<SecurityManager> fileStore()
{
    return std::make_unique<SecurityManager>(keyFolder(), SecurityManager::NewKeys::inFile);
}

// A file store answers at once.
DeviceKeyPtr keyNow(SecurityManager& security)
{
    DeviceKeyPtr found;
    security.withKey([&found](DeviceKeyPtr key) { found = std::move(key); });
    return found;
}

WifiObservation observation(int i)
{
    static constexpr const char* kNames[] = {"Office", "Cafe Guest", "Home/5G", "Café ☕", "eduroam", "FRITZ!Box 7590"};
    char bssid[18];
    std::snprintf(bssid, sizeof bssid, "02:00:00:00:%02x:%02x", (i >> 8) & 0xFF, i & 0xFF);
    WifiObservation seen;
    seen.ssid = std::string(kNames[i % 6]) + " " + std::to_string(i);
    seen.bssid = bssid;
    seen.rssi = -30 - (i * 7) % 60;
    seen.channel = i % 3 == 0 ? 36 + 4 * (i % 8) : 1 + i % 13;
    return seen;
}

// A Wi-Fi survey that answers at once, so that what is left is the agent's own work.
class StaticWifiBackend final : public WifiBackend {
public:
    void whenReady(std::function<void()> ready) override { ready(); }
    std::optional<std::string> defaultInterface() override { return "wlan0"; }
    WifiObservation currentAssociation(const std::string&) override { return observation(0); }
    WifiScanResult scan(const std::string&) override
    {
        WifiScanResult result;
        for (int i = 0; i < kNetworks; ++i)
            result.networks.push_back(observation(i));
        return result;
    }
};

statusreport::Facts facts()
{
    statusreport::Facts facts;
    for (int i = 0; i < kNetworks; ++i) {
        const WifiObservation seen = observation(i);
        facts.nearby.push_back({*seen.ssid, *seen.bssid, seen.rssi, *seen.channel});
    }
    facts.current = facts.nearby.front();
    facts.deviceId = "5B0F2A61-0E3C-4C8B-9A17-2D4E6F8A1B3C";
    facts.timestamp = 1796544000;
    facts.vpnActive = false;
    return facts;
}

statusreport::Report signedReport()
{
    statusreport::Report report{facts(), {}, {}};
    const auto security = fileStore();
    const DeviceKeyPtr key = keyNow(*security);
    security->sign(key, *statusreport::signedPayload(report.facts),
        [&report](std::optional<std::string> signature) { report.signature = std::move(signature); });
    report.publicKey = key->publicKey();
    return report;
}

// The scanner logs a line on standard output for each report without
// NetworkManager; that must not end up inside the table.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int m_saved = -1;
};

// --- request handling -------------------------------------------------------

void ParseRequest(benchmark::State& state, std::string_view request)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(http::parseRequest(request));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK_CAPTURE(ParseRequest, preflight, kPreflightRequest)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(ParseRequest, report, kReportRequest)->MeasureProcessCPUTime();

void BuildPreflightResponse(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(http::preflightAnswer(kOrigin).serialize());
}
BENCHMARK(BuildPreflightResponse)->MeasureProcessCPUTime();

void BuildJSONResponse30Networks(benchmark::State& state)
{
    const statusreport::Report report = signedReport();
    for (auto _ : state)
        benchmark::DoNotOptimize(http::statusAnswer(200, statusreport::servedDocument(report), kOrigin).serialize());
}
BENCHMARK(BuildJSONResponse30Networks)->MeasureProcessCPUTime();

// --- the report ---------------------------------------------------------------

void SignedPayload30Networks(benchmark::State& state)
{
    const statusreport::Facts input = facts();
    for (auto _ : state)
        benchmark::DoNotOptimize(statusreport::signedPayload(input));
}
BENCHMARK(SignedPayload30Networks)->MeasureProcessCPUTime();

// What a verifier does: the payload rebuilt from a parsed served document.
void SignedPayloadFromServedDocument30Networks(benchmark::State& state)
{
    const nlohmann::json served = nlohmann::json::parse(*statusreport::servedDocument(signedReport()));
    for (auto _ : state)
        benchmark::DoNotOptimize(statusreport::signedPayload(served));
}
BENCHMARK(SignedPayloadFromServedDocument30Networks)->MeasureProcessCPUTime();

// --- the key store ------------------------------------------------------------

// What every report does first: a stat of the key file, then the parsed key.
void KeyLookupCached(benchmark::State& state)
{
    const auto security = fileStore();
    for (auto _ : state)
        benchmark::DoNotOptimize(keyNow(*security));
}
BENCHMARK(KeyLookupCached)->MeasureProcessCPUTime();

// What the first report after a start (or after the file changed) pays: read and parse the PEM file.
void KeyLookupFromFile(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(keyNow(*fileStore()));
}
BENCHMARK(KeyLookupFromFile)->MeasureProcessCPUTime();

void Sign30NetworkPayload(benchmark::State& state)
{
    const auto security = fileStore();
    const DeviceKeyPtr key = keyNow(*security);
    const std::string payload = *statusreport::signedPayload(facts());
    for (auto _ : state)
        security->sign(key, payload, [](std::optional<std::string> signature) { benchmark::DoNotOptimize(signature); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(Sign30NetworkPayload)->MeasureProcessCPUTime();

// --- host probes --------------------------------------------------------------

void VpnProbe(benchmark::State& state)
{
    LinuxHostProbes probes;
    for (auto _ : state)
        benchmark::DoNotOptimize(probes.isVPNActive());
}
BENCHMARK(VpnProbe)->MeasureProcessCPUTime();

void DeviceID(benchmark::State& state)
{
    LinuxHostProbes probes;
    for (auto _ : state)
        benchmark::DoNotOptimize(probes.getDeviceID());
}
BENCHMARK(DeviceID)->MeasureProcessCPUTime();

// --- whole reports --------------------------------------------------------------

// The Wi-Fi calls of one report when no NetworkManager is on the bus.
void WifiSurveyWithoutNetworkManager(benchmark::State& state)
{
    const QuietStdout quiet;
    WifiScanner scanner;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scanner.currentNetwork());
        benchmark::DoNotOptimize(scanner.scanNetworks());
    }
}
BENCHMARK(WifiSurveyWithoutNetworkManager)->MeasureProcessCPUTime();

// Everything a report costs between reading the request and writing the answer.
void ReportAnswer(benchmark::State& state, bool withNetworks)
{
    const QuietStdout quiet;
    ReportServices services{
        withNetworks ? std::make_unique<WifiScanner>(
            std::make_shared<StaticWifiBackend>(), std::make_shared<LinuxLocationAuthorization>())
                     : std::make_unique<WifiScanner>(),
        fileStore(),
        std::make_unique<LinuxHostProbes>(),
    };
    LocalReports reports(std::move(services), LocalReports::Signer::session);
    for (auto _ : state) {
        const auto request = http::parseRequest(kReportRequest);
        reports.buildStatusReport(std::nullopt, true, [&request](const std::optional<statusreport::Report>& report) {
            benchmark::DoNotOptimize(
                http::statusAnswer(200, statusreport::servedDocument(*report), request.origin).serialize());
        });
    }
}
BENCHMARK_CAPTURE(ReportAnswer, withoutNetworkManager, false)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(ReportAnswer, static30Networks, true)->MeasureProcessCPUTime();

} // namespace

int main(int argc, char** argv)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && tmp[0] == '/' ? std::string(tmp) : std::string("/tmp")) + "/corvane-bench-XXXXXX";
    if (!::mkdtemp(folder.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    scratchFolder() = folder;
    // No NetworkManager: the bus address leads to a socket that does not exist.
    const std::string noBus = "unix:path=" + (scratchFolder() / "no-system-bus").string();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", noBus.c_str(), 1);

    QCoreApplication app(argc, argv); // the NetworkManager model looks for its event dispatcher
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!keyNow(*fileStore())) {
        std::fprintf(stderr, "no key in %s\n", keyFolder().c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder(), ignored);
    return 0;
}
