#pragma once

#include "bridge/ReportSource.h"
#include "bridge/SignerClient.h"

#include <QObject>

#include <filesystem>

namespace corvane {

class LocalReports;

// The session agent's reports. With the system signer installed, every one is
// the signer's answer, relayed byte for byte, and the session makes no key of
// its own; when the signer cannot answer, the report goes out unsigned. With
// no signer, the session's own reports, signed with its own key.
class SignerRelay final : public QObject, public ReportSource {
    Q_OBJECT

public:
    SignerRelay(LocalReports& local, std::filesystem::path socket, QObject* parent = nullptr);

    void answer(const http::Request& request, Done done) override;

    // The signer's socket is there, or was earlier in this run: a signer
    // stopped meanwhile must not make the session mint a key of its own.
    bool signerInstalled();
    SignerClient& client() { return m_client; }

private:
    LocalReports& m_local;
    SignerClient m_client;
    bool m_seen = false;
};

} // namespace corvane
