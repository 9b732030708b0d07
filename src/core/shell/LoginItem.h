#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

// The XDG autostart entry that starts the agent at every login.
class LoginItem {
public:
    static constexpr std::string_view kApplicationId = "com.corvane.Agent";

    LoginItem(std::filesystem::path autostartDirectory, std::string executable);

    // $XDG_CONFIG_HOME/autostart (default ~/.config/autostart) and the running executable.
    static LoginItem forCurrentUser();

    // Writes the entry afresh unless the person turned it off. Returns
    // whether the entry is in place; callers may ignore it.
    bool registerAtLogin() const;

    std::filesystem::path entryPath() const;

    static std::string desktopEntry(const std::string& executable);
    static bool isDisabled(std::string_view entry);
    static std::string quoteExecArgument(std::string_view argument);

private:
    std::filesystem::path m_directory;
    std::string m_executable;
};

} // namespace corvane
