// Where the client keeps its settings file and history cache when ZQ_DATA_DIR is not set: beside
// a program run from its build or unpacked directory, in the per-user data directory for an
// installed copy, whoever runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/config.h"
#include "tests/support/test_directory.h"

namespace zq {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class DataDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = test::MakeTestDirectory("zq-config");
        bin_ = root_ / "usr" / "bin";
        fs::create_directories(bin_);
    }
    void TearDown() override { fs::remove_all(root_); }
    // Gives the program directory the desktop entry of an installed copy.
    void Install() const {
        fs::create_directories(root_ / "usr" / "share" / "applications");
        std::ofstream(root_ / "usr" / "share" / "applications" / kDesktopEntryName) << "\n";
    }
    fs::path root_, bin_;
};

TEST_F(DataDirectoryTest, AWritableProgramDirectoryKeepsTheFilesUnlessItIsAnInstalledCopy) {
    const fs::path user = root_ / "xdg";
    ScopedEnv xdg("XDG_DATA_HOME", user.string());
    EXPECT_FALSE(InstalledCopy(bin_.string()));
    EXPECT_EQ(DefaultDataDirectory(bin_.string()), bin_.string());
    EXPECT_FALSE(fs::exists(user)) << "nothing is created for an unused fallback";

    // Root may write to an installed copy's directory: the files still go to the user's.
    Install();
    EXPECT_TRUE(InstalledCopy(bin_.string()));
    EXPECT_EQ(DefaultDataDirectory(bin_.string()), (user / "zelvanquorvex").string());
    EXPECT_TRUE(fs::is_directory(user / "zelvanquorvex"));
}

TEST_F(DataDirectoryTest, TheFallbackFollowsXdgDataHomeElseHome) {
    const fs::path missing = root_ / "gone";  // not writable by anyone: it does not exist
    {
        ScopedEnv xdg("XDG_DATA_HOME", (root_ / "xdg").string());
        EXPECT_EQ(DefaultDataDirectory(missing.string()), (root_ / "xdg/zelvanquorvex").string());
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "");  // empty counts as unset
        ScopedEnv home("HOME", (root_ / "home").string());
        EXPECT_EQ(DefaultDataDirectory(missing.string()),
                  (root_ / "home/.local/share/zelvanquorvex").string());
        EXPECT_TRUE(fs::is_directory(root_ / "home/.local/share/zelvanquorvex"));
    }
}

}  // namespace
}  // namespace zq
