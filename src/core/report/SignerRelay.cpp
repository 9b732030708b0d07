#include "report/SignerRelay.h"

#include "log/Log.h"
#include "report/LocalReports.h"

#include <charconv>
#include <system_error>

namespace corvane {
namespace {

// The answers a page may read, passed on as the signer gave them.
bool relayed(int status)
{
    return status == 200 || status == 400 || status == 403 || status == 503;
}

// For the status window's "last report served" only; the page gets the document as it came.
std::optional<std::int64_t> timestampOf(std::string_view document)
{
    constexpr std::string_view kMember = "\"timestamp\": ";
    const std::size_t at = document.rfind(kMember);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::int64_t timestamp = 0;
    const char* start = document.data() + at + kMember.size();
    const auto [end, error] = std::from_chars(start, document.data() + document.size(), timestamp);
    return error == std::errc() && end != start ? std::optional(timestamp) : std::nullopt;
}

} // namespace

SignerRelay::SignerRelay(LocalReports& local, std::filesystem::path socket, QObject* parent)
    : QObject(parent)
    , m_local(local)
    , m_client(std::move(socket))
{
}

bool SignerRelay::signerInstalled()
{
    std::error_code error;
    m_seen = m_seen || std::filesystem::exists(m_client.socket(), error);
    return m_seen;
}

void SignerRelay::answer(const http::Request& request, Done done)
{
    if (!signerInstalled()) {
        m_local.answer(request, std::move(done));
        return;
    }
    const std::string target = request.nonce ? "/?nonce=" + *request.nonce : "/";
    const std::optional<std::string_view> origin =
        request.origin == http::kAnyOrigin ? std::nullopt : std::optional<std::string_view>(request.origin);
    m_client.ask(target, origin, [this, request, done = std::move(done)](SignerClient::Result result) mutable {
        if (result.answer && relayed(result.answer->status)) {
            http::Answer& answer = *result.answer;
            const auto timestamp = answer.status == 200 ? timestampOf(answer.body) : std::nullopt;
            done({answer.status, std::move(answer.body), answer.retryAfterSeconds, timestamp});
            return;
        }
        const std::string why =
            result.answer ? "it answered with status " + std::to_string(result.answer->status) : result.failure;
        logLine("System signer failed: " + why + "; the report goes out unsigned");
        m_local.answerUnsigned(request, std::move(done));
    });
}

} // namespace corvane
