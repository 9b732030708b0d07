#include "ShowKey.h"

#include "bridge/SignerClient.h"
#include "json/JsonWriter.h"
#include "shell/StatusSummary.h"

#include <QCoreApplication>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace corvane {
namespace {

// Every member the signer must send, as text; none when one is missing.
std::optional<std::array<std::string, 3>> keyMembers(const std::string& body)
{
    const nlohmann::json key = nlohmann::json::parse(body, nullptr, false);
    if (!key.is_object())
        return std::nullopt;
    std::array<std::string, 3> members;
    const char* names[] = {"device_id", "key_storage", "public_key"};
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto member = key.find(names[i]);
        if (member == key.end() || !member->is_string())
            return std::nullopt;
        members[i] = member->get<std::string>();
    }
    return members;
}

int print(const SignerClient::Result& result, const std::filesystem::path& socket, bool json)
{
    if (!result.answer) {
        std::fprintf(
            stderr, "corvane-signer: cannot ask the signer at %s: %s\n", socket.c_str(), result.failure.c_str());
        return 2;
    }
    const std::optional<std::array<std::string, 3>> key = keyMembers(result.answer->body);
    if (result.answer->status != 200 || !key) {
        std::fprintf(
            stderr, "corvane-signer: the signer answered %d: %s\n", result.answer->status, result.answer->body.c_str());
        return 1;
    }
    const auto& [deviceId, storage, publicKey] = *key;
    const std::optional<std::string> fingerprint = StatusSummary::fingerprint(publicKey);
    if (!fingerprint) {
        std::fprintf(stderr, "corvane-signer: the signer's public key is not a P-256 point: %s\n", publicKey.c_str());
        return 1;
    }
    if (json) {
        std::string hex = fingerprint->substr(fingerprint->find(' ') + 1);
        std::erase(hex, ' ');
        const nlohmann::json document = {
            {"device_id", deviceId}, {"fingerprint", hex}, {"key_storage", storage}, {"public_key", publicKey}};
        std::printf("%s\n", document.dump().c_str());
    } else {
        std::printf("Device ID: %s\nPublic key: %s\nFingerprint: %s\nKey storage: %s\n", deviceId.c_str(),
            publicKey.c_str(), fingerprint->c_str(), storage.c_str());
    }
    return 0;
}

} // namespace

int showKey(const std::filesystem::path& socket, bool json)
{
    SignerClient client(socket);
    int status = 2;
    client.ask("/key", std::nullopt, [&](const SignerClient::Result& result) {
        status = print(result, socket, json);
        // Queued: the answer may come before the event loop runs.
        QMetaObject::invokeMethod(
            qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    });
    return QCoreApplication::exec();
}

} // namespace corvane
