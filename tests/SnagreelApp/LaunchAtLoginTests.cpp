#include "SnagreelApp/Linux/XdgAutostart.hpp"
#include "support/FileContents.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace snagreel::app {
namespace {

namespace fs = std::filesystem;

using testing::readFileContents;

class LaunchAtLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* previous = std::getenv("XDG_CONFIG_HOME");
        previousConfig_ = previous ? std::optional<std::string>(previous) : std::nullopt;
        ::setenv("XDG_CONFIG_HOME", (folder_.path() / "config").c_str(), 1);
        // A program path that needs quoting in Exec.
        program_ = folder_.path() / "bin dir" / "snag$reel";
        fs::create_directories(program_.parent_path());
        std::ofstream(program_) << "#!/bin/sh\n";
        fs::permissions(program_, fs::perms::owner_all);
        system_ = folder_.path() / "etc-xdg" / "autostart";
    }
    void TearDown() override {
        if (previousConfig_) {
            ::setenv("XDG_CONFIG_HOME", previousConfig_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }

    std::unique_ptr<LoginItemService> service() {
        auto options = XdgAutostart::defaultOptions();
        options.systemDirectories = {system_};
        options.program = program_;
        return std::make_unique<XdgAutostart>(options);
    }
    fs::path userEntry() const {
        return folder_.path() / "config" / "autostart" / "snagreel.desktop";
    }

    testing::TemporaryDirectory folder_;
    std::optional<std::string> previousConfig_;
    fs::path program_;
    fs::path system_;
};

TEST_F(LaunchAtLoginTest, TogglesAUserEntryThatStartsThisProgram) {
    LaunchAtLogin login(service());
    EXPECT_EQ(login.status(), 0);
    EXPECT_EQ(login.statusLine(), "Does not open at login.");

    login.setEnabled(true);
    EXPECT_EQ(login.error(), std::nullopt);
    EXPECT_EQ(login.status(), 1);
    EXPECT_TRUE(login.isRegistered());
    EXPECT_EQ(login.statusLine(), "Opens automatically when you log in.");
    struct stat info {};
    ASSERT_EQ(::stat(userEntry().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_NE(readFileContents(userEntry())
                  .find("Exec=\"" + (folder_.path() / "bin dir").string() + "/snag\\\\$reel\"\n"),
              std::string::npos)
        << readFileContents(userEntry());

    // The program was moved away since.
    fs::remove(program_);
    login.refresh();
    EXPECT_EQ(login.status(), 3);
    EXPECT_FALSE(login.isRegistered());
    login.setEnabled(false);
    EXPECT_EQ(login.status(), 0);
    EXPECT_FALSE(fs::exists(userEntry()));
}

TEST_F(LaunchAtLoginTest, ASystemWideEntryIsTurnedOffWithAHiddenUserEntry) {
    fs::create_directories(system_);
    std::ofstream(system_ / "snagreel.desktop") << XdgAutostart::entryText(program_, false);
    LaunchAtLogin login(service());
    EXPECT_EQ(login.status(), 1);

    login.setEnabled(false);
    EXPECT_EQ(login.status(), 0);
    EXPECT_NE(readFileContents(userEntry()).find("\nHidden=true\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(system_ / "snagreel.desktop")) << "the system entry is never touched";

    login.setEnabled(true);
    EXPECT_EQ(login.status(), 1);
    EXPECT_EQ(readFileContents(userEntry()).find("Hidden"), std::string::npos);
}

TEST_F(LaunchAtLoginTest, AFailedChangeShowsWhyAndTheStatusReadAfterIt) {
    // The autostart folder's place is taken by a file.
    fs::create_directories(folder_.path() / "config");
    std::ofstream(folder_.path() / "config" / "autostart") << "";
    LaunchAtLogin login(service());
    login.setEnabled(true);
    ASSERT_TRUE(login.error());
    EXPECT_EQ(login.error()->rfind("Could not change launch at login: ", 0), 0u) << *login.error();
    EXPECT_EQ(login.status(), 0);
}

} // namespace
} // namespace snagreel::app
