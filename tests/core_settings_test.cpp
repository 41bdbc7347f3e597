// The settings file "data": defaults, validity, whole-block writes and the member-name field.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/settings_block.h"
#include "net/wire/ansi_text.h"
#include "tests/support/test_directory.h"

namespace zq {
namespace {

class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::MakeTestDirectory("zq-settings");
        path_ = (dir_ / "data").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void WriteRaw(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string ReadRaw() {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    static bool IsDefault(const SettingsBlock& b) {
        SettingsBlock d = DefaultSettings();
        return std::memcmp(&b, &d, sizeof b) == 0;
    }
    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(SettingsFileTest, MissingShortAndUnmarkedFilesReadAsDefaults) {
    SettingsBlock d = ReadSettings(path_);
    EXPECT_TRUE(IsDefault(d));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(d.instrumentFlags[i], 1);
    EXPECT_EQ(d.unused0[11], 0);
    EXPECT_EQ(d.unused62[0], 0);
    EXPECT_EQ(d.validity, 0);

    WriteRaw(std::string(99, '\x01'));
    EXPECT_TRUE(IsDefault(ReadSettings(path_)));
    std::string foreign(100, '\x07');  // validity mark 0x07070707
    WriteRaw(foreign);
    EXPECT_TRUE(IsDefault(ReadSettings(path_)));
    // Reading never touches the file.
    EXPECT_EQ(ReadRaw(), foreign);
}

TEST_F(SettingsFileTest, WriteKeepsOtherFieldsByteForByte) {
    std::string raw(100, '\0');
    for (int i = 0; i < 100; ++i) raw[i] = static_cast<char>(i * 7 + 3);
    std::int32_t one = 1;
    std::memcpy(&raw[96], &one, 4);
    WriteRaw(raw);
    SettingsBlock b = ReadSettings(path_);
    EXPECT_EQ(std::memcmp(&b, raw.data(), 100), 0);
    b.lastInstrument = 14;
    ASSERT_TRUE(WriteSettings(path_, b));
    std::string after = ReadRaw();
    ASSERT_EQ(after.size(), 100u);
    EXPECT_EQ(after.substr(0, 68), raw.substr(0, 68));
    EXPECT_EQ(after.substr(72), raw.substr(72));
    std::int32_t inst;
    std::memcpy(&inst, &after[68], 4);
    EXPECT_EQ(inst, 14);
    // Nothing but the file itself is left in its directory.
    int entries = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(path_).parent_path())) {
        EXPECT_EQ(e.path().string(), path_);
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFileTest, WriteSetsTheValidityMark) {
    SettingsBlock b = DefaultSettings();
    b.validity = 0;
    ASSERT_TRUE(WriteSettings(path_, b));
    EXPECT_EQ(ReadSettings(path_).validity, 1);
}

TEST_F(SettingsFileTest, AFailedWriteReportsFailureAndLeavesWhatWasThere) {
    // A directory with content in the file's place: the final rename cannot replace it.
    std::filesystem::create_directory(path_);
    std::ofstream(path_ + "/keep") << "x";
    SettingsBlock b = DefaultSettings();
    b.lastInstrument = 9;
    EXPECT_FALSE(WriteSettings(path_, b));
    EXPECT_TRUE(std::filesystem::is_directory(path_));
    EXPECT_TRUE(std::filesystem::exists(path_ + "/keep"));
    int entries = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(path_).parent_path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "the temporary file is removed";
}

TEST(SettingsBlockTest, LastInstrumentRange) {
    SettingsBlock b = DefaultSettings();
    for (int v : {0, 100, -1, 1000}) {
        b.lastInstrument = v;
        EXPECT_EQ(AcceptedLastInstrument(b), 0) << v;
    }
    for (int v : {1, 42, 50, 99}) {
        b.lastInstrument = v;
        EXPECT_EQ(AcceptedLastInstrument(b), v) << v;
    }
}

TEST(SettingsBlockTest, MemberNameIsCutAtCharacterBoundary) {
    SettingsBlock b = DefaultSettings();
    StoreMemberName(b, "demo");
    EXPECT_EQ(StoredMemberName(b), "demo");

    // 12 Chinese characters are 24 GBK bytes: only 11 fit before the terminator.
    std::string twelve = "一二三四五六七八九十百千";
    StoreMemberName(b, twelve);
    EXPECT_EQ(std::strlen(b.memberName), 22u);
    EXPECT_EQ(StoredMemberName(b), "一二三四五六七八九十百");
    EXPECT_EQ(b.memberName[23], 0);

    // A Latin letter first: 1 + 11 × 2 = 23 bytes fit exactly.
    StoreMemberName(b, "a" + twelve);
    EXPECT_EQ(std::strlen(b.memberName), 23u);
    EXPECT_EQ(StoredMemberName(b), "a一二三四五六七八九十百");
    EXPECT_EQ(b.validity, 0);  // the name does not touch other fields
}

}  // namespace
}  // namespace zq
