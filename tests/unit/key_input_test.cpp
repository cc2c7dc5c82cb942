#include "common/key_input.h"

#include <gtest/gtest.h>

#include "tests/unit/test_util.h"

namespace orvane {
namespace {

TEST(KeyInput, FileGivesItsFirstLineWithoutLineEnd) {
    testing::TempDir dir;
    std::string key;
    testing::WriteFile(dir / "crlf", "s3cret\r\nsecond line\n");
    ASSERT_TRUE(ReadKeyLine("tool", false, dir / "crlf", key));
    EXPECT_EQ(key, "s3cret");
    testing::WriteFile(dir / "bare", "no line end");
    ASSERT_TRUE(ReadKeyLine("tool", false, dir / "bare", key));
    EXPECT_EQ(key, "no line end");
    // An empty file is an empty key, not a leftover from an earlier read.
    testing::WriteFile(dir / "empty", "");
    ASSERT_TRUE(ReadKeyLine("tool", false, dir / "empty", key));
    EXPECT_EQ(key, "");
}

TEST(KeyInput, MissingFileIsReportedWithTheProgramName) {
    testing::TempDir dir;
    std::string key = "unchanged";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ReadKeyLine("orvane-tool", false, dir / "absent", key));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "orvane-tool: cannot read the key file " + (dir / "absent") + ": No such file or directory\n");
    EXPECT_EQ(key, "unchanged");
}

}  // namespace
}  // namespace orvane
