// corvane-signer: the system service that holds the device key, gathers the
// report's facts itself and signs them, for any account that asks on its
// Unix socket. No program of the person's can use its key or choose a fact.
#include "ShowKey.h"
#include "SignerSocket.h"

#include "bridge/CorvaneBridge.h"
#include "bridge/SignerClient.h"
#include "io/FileIo.h"
#include "io/SignalWatcher.h"
#include "log/Log.h"
#include "policy/PolicyFile.h"
#include "report/LocalReports.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage = "usage: corvane-signer [--socket PATH] [--state-directory DIR]\n"
                               "       corvane-signer --show-key [--json] [--socket PATH]\n";
constexpr const char* kDefaultStateDirectory = "/var/lib/corvane";

struct Options {
    std::optional<std::filesystem::path> socket;
    std::optional<std::filesystem::path> stateDirectory;
    bool showKey = false;
    bool json = false;
};

// None after a usage error, which it has reported.
std::optional<Options> parse(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        std::optional<std::filesystem::path>* value = argument == "--socket" ? &options.socket
            : argument == "--state-directory"                                ? &options.stateDirectory
                                                                             : nullptr;
        if (value) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "corvane-signer: %s needs a value\n%s", argv[i], kUsage);
                return std::nullopt;
            }
            *value = argv[++i];
        } else if (argument == "--show-key") {
            options.showKey = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "corvane-signer: unknown argument %s\n%s", argv[i], kUsage);
            return std::nullopt;
        }
    }
    if (options.json && !options.showKey) {
        std::fprintf(stderr, "corvane-signer: --json goes with --show-key\n%s", kUsage);
        return std::nullopt;
    }
    return options;
}

// systemd's StateDirectory= (the first, if several), else the usual place.
std::filesystem::path stateDirectory(const Options& options)
{
    if (options.stateDirectory)
        return *options.stateDirectory;
    const char* fromSystemd = std::getenv("STATE_DIRECTORY");
    if (fromSystemd && *fromSystemd)
        return std::string_view(fromSystemd).substr(0, std::string_view(fromSystemd).find(':'));
    return kDefaultStateDirectory;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::optional<Options> options = parse(argc, argv);
    if (!options)
        return 2;
    corvane::SignalWatcher::block({SIGTERM, SIGINT, SIGHUP});
    std::signal(SIGPIPE, SIG_IGN);
    corvane::io::raiseDescriptorLimit();
    // The TPM's software stack writes its own diagnostics to standard error; the signer says why in one line.
    ::setenv("TSS2_LOG", "all+NONE", 0);
    QCoreApplication app(argc, argv);

    if (options->showKey)
        return corvane::showKey(options->socket.value_or(corvane::SignerClient::defaultSocket()), options->json);

    corvane::SignerSocket socket;
    std::string problem;
    if (options->socket ? !socket.make(*options->socket, problem) : !socket.adopt(problem)) {
        std::fprintf(stderr, "corvane-signer: %s\n", problem.c_str());
        return 1;
    }
    corvane::LocalReports reports(
        {
            std::make_unique<corvane::WifiScanner>(),
            std::make_unique<corvane::SecurityManager>(stateDirectory(*options)),
            corvane::HostProbes::createDefault(),
        },
        corvane::LocalReports::Signer::system);
    // Read at start and at SIGHUP (systemctl reload): root decides when a changed file counts.
    corvane::policy::PolicyFile policy(corvane::policy::policyPath(), corvane::policy::PolicyFile::Reload::whenAsked);
    reports.setPolicy(policy.policy());
    QObject::connect(&policy, &corvane::policy::PolicyFile::changed, [&] { reports.setPolicy(policy.policy()); });
    corvane::CorvaneBridge bridge(reports);
    corvane::SignalWatcher termination({SIGTERM, SIGINT, SIGHUP}, [&policy](int signal) {
        if (signal == SIGHUP)
            policy.reload();
        else
            QCoreApplication::exit(0);
    });
    bridge.serve(socket.take());
    corvane::logLine("Corvane signer serving on " + socket.path().string());
    return QCoreApplication::exec();
}
