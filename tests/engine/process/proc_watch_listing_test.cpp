// The running-process lists offered to the user, against scripted process queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/logging.h"
#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/log_capture.h"

namespace tovix {
namespace {

using ::testing::ElementsAre;
using testing::FakeProcessQueries;
using testing::LogCapture;

class ProcWatchListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queries.add_process(4, "System");
    queries.add_process(100, "chrome.exe", R"(C:\Program Files\Google\Chrome\chrome.exe)");
    queries.add_process(101, "Chrome.exe", R"(D:\portable\Chrome.exe)");
    queries.add_process(102, "", R"(C:\nameless.exe)");
    queries.add_process(103, std::nullopt);   // access denied
    queries.add_process(104, "svchost.exe");  // path not readable
    queries.add_process(105, "Zoom.exe", R"(C:\Zoom\Zoom.exe)");
    queries.add_process(106, "apple.exe", "");
  }
  FakeProcessQueries queries;
  LogCapture log{LOGGER_ENGINE};
};

TEST_F(ProcWatchListingTest, NamesAreDistinctLowerCasedAndSorted) {
  EXPECT_THAT(ProcWatch::get_all_process_names(queries),
              ElementsAre("apple.exe", "chrome.exe", "svchost.exe", "system", "zoom.exe"));
  EXPECT_EQ(queries.last_detail(), ProcessDetail::name_only);
}

TEST_F(ProcWatchListingTest, InfoKeepsTheFirstInstanceOfEachNameWithItsPath) {
  const Json expected = Json::parse(R"([
    {"name": "apple.exe", "exe": ""},
    {"name": "chrome.exe", "exe": "C:\\Program Files\\Google\\Chrome\\chrome.exe"},
    {"name": "svchost.exe", "exe": ""},
    {"name": "system", "exe": ""},
    {"name": "zoom.exe", "exe": "C:\\Zoom\\Zoom.exe"}
  ])");
  EXPECT_EQ(ProcWatch::get_all_processes_info(queries), expected);
  EXPECT_EQ(queries.last_detail(), ProcessDetail::name_and_path);
}

TEST_F(ProcWatchListingTest, EnumerationFailureKeepsWhatWasCollected) {
  queries.fail_enumeration_after(3, "access to the snapshot lost");
  EXPECT_THAT(ProcWatch::get_all_process_names(queries), ElementsAre("chrome.exe", "system"));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "枚举进程异常: access to the snapshot lost"));

  const Json info = ProcWatch::get_all_processes_info(queries);
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[0]["exe"], "C:\\Program Files\\Google\\Chrome\\chrome.exe");
  EXPECT_TRUE(log.contains(spdlog::level::warn, "枚举进程信息异常: access to the snapshot lost"));
}

}  // namespace
}  // namespace tovix
