#pragma once

#include <filesystem>
#include <string>

namespace corvane {

// The signer's listening socket: the one systemd passes (socket activation),
// or one it makes itself at a path, open to every account (0666) so that any
// person's agent may ask. A socket it made is removed when it ends.
class SignerSocket {
public:
    SignerSocket() = default;
    ~SignerSocket();
    SignerSocket(const SignerSocket&) = delete;
    SignerSocket& operator=(const SignerSocket&) = delete;

    // The socket systemd passed; false with why when there is none usable.
    bool adopt(std::string& problem);
    // A new socket at path, replacing only a stale socket left there.
    bool make(const std::filesystem::path& path, std::string& problem);

    // Non-blocking, listening. The bridge takes it over: -1 afterwards.
    int take();
    const std::filesystem::path& path() const { return m_path; }

private:
    int m_fd = -1;
    std::filesystem::path m_path;
    bool m_made = false;
};

} // namespace corvane
