// Result.log: exact bytes on every platform, and no write without an open stream.

#include <filesystem>

#include "app/result_log.h"
#include "tests/app/front_end_fixture.h"

namespace apptest {
namespace {

class ResultLogTest : public FrontEndTest {};

TEST_F(ResultLogTest, PassIsSeventeenBytesWithCrLf) {
  ASSERT_TRUE(WriteResultLog(ResultPassText));
  EXPECT_EQ(ResultLog(), std::string("Pass\r\nR06.00.01\r\n"));
  EXPECT_EQ(std::filesystem::file_size("Result.log"), 17u);
}

TEST_F(ResultLogTest, FailIsFourBytesAndReplacesTheWholeFile) {
  ASSERT_TRUE(WriteResultLog(ResultPassText));
  ASSERT_TRUE(WriteResultLog(ResultFailText));
  EXPECT_EQ(ResultLog(), "Fail");
}

TEST_F(ResultLogTest, UncreatableFileIsReportedAndNothingWritten) {
  std::filesystem::create_directory("Result.log");
  EXPECT_FALSE(WriteResultLog(ResultFailText));
  EXPECT_TRUE(std::filesystem::is_empty("Result.log"));
}

}  // namespace
}  // namespace apptest
