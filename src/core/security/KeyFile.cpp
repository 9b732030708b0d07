#include "security/KeyFile.h"

#include "io/FileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace corvane {
namespace {

// A P-256 key in PEM is about 240 bytes; a file far bigger is not a key.
constexpr std::size_t kMaxKeyFileSize = std::size_t{64} * 1024;
constexpr mode_t kFolderMode = 0700;
// Writing, flushing and linking a key takes milliseconds; a temporary file
// this old was left by a process that died.
constexpr time_t kLeftoverAge = 60;

KeyFile::Identity identityOf(const struct stat& info)
{
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

// Best effort: a failure here leaves the new entry in place, only less sure to survive a crash.
void syncFolder(const std::filesystem::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

int makeFolders(const std::filesystem::path& folder)
{
    if (::mkdir(folder.c_str(), kFolderMode) == 0) {
        syncFolder(folder.parent_path());
        return 0;
    }
    const int error = errno;
    if (error == EEXIST)
        return 0;
    const std::filesystem::path parent = folder.parent_path();
    if (error != ENOENT || parent == folder || parent.empty())
        return error;
    if (const int parentError = makeFolders(parent))
        return parentError;
    if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST)
        return errno;
    syncFolder(parent);
    return 0;
}

int readAll(int fd, std::string& bytes)
{
    bytes.resize(kMaxKeyFileSize + 1);
    std::size_t used = 0;
    while (used < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return errno;
        if (count == 0)
            break;
        used += static_cast<std::size_t>(count);
    }
    bytes.resize(used);
    return used > kMaxKeyFileSize ? EFBIG : 0;
}

// Writes, flushes to disk and closes; the identity is the one the linked key will have.
KeyFile::Status writeDurably(int fd, std::string_view bytes)
{
    KeyFile::Status status;
    struct stat info = {};
    status.error = io::writeAll(fd, bytes);
    if (status.error == 0 && ::fsync(fd) != 0)
        status.error = errno;
    if (status.error == 0 && ::fstat(fd, &info) != 0)
        status.error = errno;
    if (::close(fd) != 0 && status.error == 0)
        status.error = errno;
    if (status.error == 0)
        status.identity = identityOf(info);
    return status;
}

} // namespace

KeyFile::KeyFile(std::filesystem::path path)
    : m_path(std::move(path))
{
}

const std::filesystem::path& KeyFile::path() const
{
    return m_path;
}

KeyFile::Status KeyFile::status() const
{
    struct stat info = {};
    if (::stat(m_path.c_str(), &info) != 0)
        return {errno, {}};
    return {0, identityOf(info)};
}

KeyFile::Contents KeyFile::read() const
{
    // Non-blocking, so that a pipe in the key's place cannot stall the agent.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {errno, {}, {}};
    Contents contents;
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        contents.error = errno;
    } else {
        contents.identity = identityOf(info);
        contents.error = readAll(fd, contents.bytes);
    }
    ::close(fd);
    return contents;
}

std::string KeyFile::temporaryPrefix() const
{
    return "." + m_path.filename().string() + ".";
}

KeyFile::Status KeyFile::publish(std::string_view bytes) const
{
    const std::filesystem::path folder = m_path.parent_path();
    if (const int error = makeFolders(folder))
        return {error, {}};
    std::string temporary = (folder / (temporaryPrefix() + "XXXXXX")).string();
    // mkostemp creates the file with O_EXCL and mode 0600 before any byte is written.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return {errno, {}};
    Status status = writeDurably(fd, bytes);
    // link() never replaces: a key that another process put there first stays.
    if (status.error == 0 && ::link(temporary.c_str(), m_path.c_str()) != 0)
        status.error = errno;
    ::unlink(temporary.c_str());
    if (status.error == 0)
        syncFolder(folder);
    return status;
}

void KeyFile::removeLeftovers() const
{
    const int folder = ::open(m_path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = folder < 0 ? nullptr : ::fdopendir(folder);
    if (!entries) {
        if (folder >= 0)
            ::close(folder);
        return;
    }
    const std::string prefix = temporaryPrefix();
    const time_t oldEnough = ::time(nullptr) - kLeftoverAge;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view name = entry->d_name;
        struct stat info = {};
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)
            && ::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
            && info.st_mtim.tv_sec < oldEnough)
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(entries);
}

} // namespace corvane
