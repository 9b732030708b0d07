#include "shell/LoginItem.h"
#include "Files.h"
#include "security/SecurityManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvane;
namespace fs = std::filesystem;

TEST(LoginItem, ExecArgumentsAreQuotedAsDesktopEntriesRequire)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/corvane-agent", "/usr/bin/corvane-agent"},
        {"/opt/My Apps/agent", "\"/opt/My Apps/agent\""},
        {"/opt/100%/agent", "/opt/100%%/agent"},
        // Escaped inside quotes, then the backslash is escaped again as a string.
        {"/opt/a\"b$c/agent", "\"/opt/a\\\\\"b\\\\$c/agent\""},
    };
    for (const auto& [path, quoted] : cases)
        EXPECT_EQ(LoginItem::quoteExecArgument(path), quoted);
}

TEST(LoginItem, AnEntryThePersonTurnedOffIsLeftAlone)
{
    const fs::path folder = fs::path(testing::TempDir()) / ("corvane-login-" + std::to_string(::getpid()));
    const LoginItem item(folder / "autostart", "/usr/bin/corvane-agent");
    const std::pair<std::string, bool> entries[] = {
        {"[Desktop Entry]\nExec=/old/corvane-agent\nHidden=true\n", true},
        {"[Desktop Entry]\r\nExec=/old\r\nX-GNOME-Autostart-enabled = false\r\n", true},
        {"[Desktop Entry]\nExec=/old\nHidden=false\nX-GNOME-Autostart-enabled=true\n", false},
        {"[Desktop Entry]\nExec=/old\n[Desktop Action x]\nHidden=true\n", false},
    };
    for (const auto& [entry, off] : entries) {
        SCOPED_TRACE(entry);
        fs::create_directories(folder / "autostart");
        testfiles::write(item.entryPath(), entry);
        EXPECT_TRUE(item.registerAtLogin());
        const std::string now = testfiles::read(item.entryPath());
        EXPECT_EQ(now == entry, off);
        if (!off) {
            EXPECT_NE(now.find("\nExec=/usr/bin/corvane-agent\n"), std::string::npos);
            EXPECT_EQ(fs::status(item.entryPath()).permissions(), fs::perms(0644));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(folder / "autostart"), fs::directory_iterator()), 1);
    }
    fs::remove_all(folder);
}

TEST(LoginItem, TheFoldersFollowXdgAndARelativeOneIsIgnored)
{
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(LoginItem::forCurrentUser().entryPath(), "/home/someone/.config/autostart/com.corvane.Agent.desktop");
    EXPECT_EQ(SecurityManager::defaultFolder(), "/data/corvane");
}
