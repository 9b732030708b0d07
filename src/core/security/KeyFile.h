#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

// The signing key's file. Reads it, and publishes a new one without ever
// replacing a file that is already there. Failures come back as errno values.
class KeyFile {
public:
    // One version of the file; when any member differs, the file must be read again.
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        time_t mtimeSeconds = 0;
        long mtimeNanoseconds = 0;

        bool operator==(const Identity&) const = default;
    };

    struct Status {
        int error = 0; // ENOENT: no file
        Identity identity;
    };

    struct Contents {
        int error = 0;
        Identity identity;
        std::string bytes;
    };

    explicit KeyFile(std::filesystem::path path);

    const std::filesystem::path& path() const;

    Status status() const;
    Contents read() const;
    // Makes the folders (0700), writes the bytes to a new 0600 file beside the key,
    // flushes it and links it into place. EEXIST: a key was there first and is left as it is.
    Status publish(std::string_view bytes) const;
    // Removes the temporary files of creations that never finished (a process
    // died between writing and linking). Recent ones may belong to a creation
    // going on in another process right now, so they stay.
    void removeLeftovers() const;

private:
    std::string temporaryPrefix() const;

    std::filesystem::path m_path;
};

} // namespace corvane
