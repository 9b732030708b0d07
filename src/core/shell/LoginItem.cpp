#include "shell/LoginItem.h"

#include "io/FileIo.h"
#include "text/Text.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string runningExecutable()
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Temporary file in the same folder, flushed, then renamed over the entry,
// so a crash never leaves a half-written entry behind.
bool replaceFile(const std::filesystem::path& target, std::string_view content)
{
    std::string temporary = target.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
    const bool written = ::fchmod(fd, 0644) == 0 && io::writeAll(fd, content) == 0 && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

LoginItem::LoginItem(std::filesystem::path autostartDirectory, std::string executable)
    : m_directory(std::move(autostartDirectory))
    , m_executable(std::move(executable))
{
}

LoginItem LoginItem::forCurrentUser()
{
    const std::filesystem::path configHome = io::xdgFolder("XDG_CONFIG_HOME", ".config");
    // Without a home folder the path stays relative, and nothing is written.
    return LoginItem(configHome.empty() ? configHome : configHome / "autostart", runningExecutable());
}

std::filesystem::path LoginItem::entryPath() const
{
    return m_directory / (std::string(kApplicationId) + ".desktop");
}

bool LoginItem::registerAtLogin() const
{
    if (m_executable.empty() || m_directory.is_relative())
        return false;
    const std::filesystem::path path = entryPath();
    if (const std::optional<std::string> existing = readFile(path); existing && isDisabled(*existing))
        return true;

    std::error_code error;
    std::filesystem::create_directories(m_directory, error);
    if (error)
        return false;
    return replaceFile(path, desktopEntry(m_executable));
}

std::string LoginItem::desktopEntry(const std::string& executable)
{
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=Corvane Compliance\n"
                        "Comment=Answers this machine's signed network status to web pages\n";
    entry += "Exec=" + quoteExecArgument(executable) + "\n";
    entry += "Icon=" + std::string(kApplicationId) + "\n";
    entry += "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n";
    return entry;
}

bool LoginItem::isDisabled(std::string_view entry)
{
    bool inMainGroup = false;
    std::size_t start = 0;
    while (start < entry.size()) {
        std::size_t end = entry.find('\n', start);
        if (end == std::string_view::npos)
            end = entry.size();
        std::string_view line = entry.substr(start, end - start);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        line = text::trim(line);
        start = end + 1;

        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos)
            continue;
        const std::string_view key = text::trim(line.substr(0, equals));
        const std::string_view value = text::trim(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return true;
    }
    return false;
}

std::string LoginItem::quoteExecArgument(std::string_view argument)
{
    const bool quoted = argument.find_first_of(kReserved) != std::string_view::npos;
    std::string arg;
    for (char c : argument) {
        if (c == '%') {
            arg += "%%";
            continue;
        }
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            arg += '\\';
        arg += c;
    }
    if (quoted)
        arg = '"' + arg + '"';

    // The value as a whole is a desktop-entry string, whose own escapes come on top.
    std::string value;
    for (char c : arg) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        default: value += c;
        }
    }
    return value;
}

} // namespace corvane
