#include "shell/LoginItem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvane;
namespace fs = std::filesystem;

namespace {

class LoginItemTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path()
            / ("corvane-login-" + std::to_string(::getpid()) + "-"
                + testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::string read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    fs::path m_dir;
};

} // namespace

TEST(LoginItemQuoting, ExecArgumentsFollowTheDesktopEntryRules)
{
    EXPECT_EQ(LoginItem::quoteExecArgument("/usr/bin/corvane-agent"), "/usr/bin/corvane-agent");
    EXPECT_EQ(LoginItem::quoteExecArgument("/opt/My Apps/agent"), "\"/opt/My Apps/agent\"");
    EXPECT_EQ(LoginItem::quoteExecArgument("/opt/100%/agent"), "/opt/100%%/agent");
    // Escaped inside quotes, then the backslash is escaped again as a string.
    EXPECT_EQ(LoginItem::quoteExecArgument("/opt/a\"b$c/agent"), "\"/opt/a\\\\\"b\\\\$c/agent\"");
}

TEST(LoginItemQuoting, OnlyAnExplicitOffInTheMainGroupCounts)
{
    EXPECT_TRUE(LoginItem::isDisabled("[Desktop Entry]\nHidden=true\n"));
    EXPECT_TRUE(LoginItem::isDisabled("[Desktop Entry]\r\nX-GNOME-Autostart-enabled = false\r\n"));
    EXPECT_FALSE(LoginItem::isDisabled("[Desktop Entry]\nHidden=false\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_FALSE(LoginItem::isDisabled("[Desktop Action x]\nHidden=true\n"));
    EXPECT_FALSE(LoginItem::isDisabled(LoginItem::desktopEntry("/usr/bin/corvane-agent")));
}

TEST_F(LoginItemTest, WritesAReadableEntryAndReplacesAStaleOne)
{
    const LoginItem item(m_dir / "autostart", "/usr/bin/corvane-agent");
    ASSERT_TRUE(item.registerAtLogin());
    EXPECT_EQ(read(item.entryPath()), LoginItem::desktopEntry("/usr/bin/corvane-agent"));
    struct stat st = {};
    ASSERT_EQ(::stat(item.entryPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    const LoginItem moved(m_dir / "autostart", "/opt/corvane/bin/corvane-agent");
    ASSERT_TRUE(moved.registerAtLogin());
    EXPECT_NE(read(item.entryPath()).find("\nExec=/opt/corvane/bin/corvane-agent\n"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "autostart"), fs::directory_iterator()), 1);
}

TEST_F(LoginItemTest, FailsQuietlyWhereNothingCanBeWritten)
{
    // A file where the folder should be stops even root.
    std::ofstream(m_dir) << "not a folder";
    EXPECT_FALSE(LoginItem(m_dir / "autostart", "/usr/bin/corvane-agent").registerAtLogin());
    EXPECT_FALSE(LoginItem(m_dir / "autostart", "").registerAtLogin());
}
