#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Discovery.h"
#include "support/temp_dir.h"

namespace {

struct SwitchesOff {
    SwitchesOff() { LogSwitches::AllOff(); }
    ~SwitchesOff() { LogSwitches::AllOff(); }
};

const std::regex kLinePattern(
    R"(\[([EWID])\]\[(\d{4})/(\d{1,2})/(\d{1,2})  (\d{1,2}):(\d{1,2}):(\d{1,2})\.(\d{1,3})\](.*)\n)");

}  // namespace

TEST(Log, NothingIsCreatedWhileEveryLevelIsOff) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    cameralog log;
    EXPECT_EQ(log_open(&log, "quiet"), 0);
    TAVI_LOG_ERROR(&log, "[function:Test] dropped, error code: %d", -1);
    log_close(&log);
    EXPECT_FALSE(scratch.Exists("quiet.log"));
}

TEST(Log, ALineIsTagBracketedLocalTimeAndMessage) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::warning = 1;
    cameralog log;
    ASSERT_EQ(log_open(&log, "format"), 0);
    TAVI_LOG_WARNING(
        &log, "[function:CameraSort] The incoming parameters discovery_info is invalid, error code: %d", -5);
    log_close(&log);
    const std::string text = scratch.Read("format.log");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, kLinePattern)) << text;
    EXPECT_EQ(parts[1], "W");
    EXPECT_EQ(parts[9],
              "[function:CameraSort] The incoming parameters discovery_info is invalid, error code: -5");
    // No leading zeros in any time field.
    for (int field = 3; field <= 8; ++field) {
        const std::string value = parts[field];
        EXPECT_TRUE(value == "0" || value[0] != '0') << value;
    }
}

TEST(Log, EachWriterObeysOnlyItsOwnSwitchAndWritesItsTag) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    Discovery discovery;
    discovery.SetLogLevelSwitch(1, 1, 0, 0);  // error and debug: the second parameter is debug
    cameralog log;
    ASSERT_EQ(log_open(&log, "levels"), 0);
    TAVI_LOG_ERROR(&log, "e");
    TAVI_LOG_WARNING(&log, "w");
    TAVI_LOG_INFO(&log, "i");
    TAVI_LOG_DEBUG(&log, "d");
    log_close(&log);
    const std::string text = scratch.Read("levels.log");
    EXPECT_NE(text.find("[E]["), std::string::npos);
    EXPECT_NE(text.find("[D]["), std::string::npos);
    EXPECT_EQ(text.find("[W]["), std::string::npos);
    EXPECT_EQ(text.find("[I]["), std::string::npos);
}

TEST(Log, OpeningAgainTruncatesTheFile) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::info = 1;
    cameralog log;
    log_open(&log, "again");
    TAVI_LOG_INFO(&log, "first");
    log_close(&log);
    log_open(&log, "again");
    TAVI_LOG_INFO(&log, "second");
    log_close(&log);
    const std::string text = scratch.Read("again.log");
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST(Log, ASwitchTurnedOnAfterOpeningWritesNothing) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    cameralog log;
    log_open(&log, "late");
    LogSwitches::error = 1;
    TAVI_LOG_ERROR(&log, "too late");
    log_close(&log);
    EXPECT_FALSE(scratch.Exists("late.log"));
}

TEST(Log, LongMessagesAndBaseNamesAreCutNotOverflowed) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::error = 1;
    cameralog log;
    ASSERT_EQ(log_open(&log, "abcdefghijklmnopqrstuvwxyz"), 0);
    const std::string long_message(1000, 'x');
    TAVI_LOG_ERROR(&log, "%s", long_message.c_str());
    log_close(&log);
    ASSERT_TRUE(scratch.Exists("abcdefghijklmnopqrs.log"));  // 19 characters kept
    const std::string text = scratch.Read("abcdefghijklmnopqrs.log");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, kLinePattern));
    EXPECT_EQ(parts[9].length(), 255u);
}

TEST(Log, AnEmptyBaseNameGivesDotLog) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::info = 1;
    cameralog log;
    EXPECT_EQ(log_open(&log, ""), 0);
    log_close(&log);
    EXPECT_TRUE(scratch.Exists(".log"));
}

TEST(Log, NullLogAndUnwritableFileGiveMinus12) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::error = 1;
    EXPECT_EQ(log_open(nullptr, "x"), -12);
    std::filesystem::create_directory(scratch.path() / "taken.log");
    cameralog log;
    EXPECT_EQ(log_open(&log, "taken"), -12);
    TAVI_LOG_ERROR(&log, "dropped");  // a closed log drops lines silently
    log_close(&log);
}

// ---- names that come from a camera -----------------------------------------------------------------

TEST(Log, ASerialWithSlashesAndDotsLogsIntoTheCurrentDirectoryOnly) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::error = 1;
    const std::pair<const char*, const char*> cases[] = {
        {"/tmp/x", "tmpx.log"},    {"../../etc/passwd", "etcpasswd.log"}, {"..", ".log"},
        {".hidden", "hidden.log"}, {"TV-01_a.b c*?\n", "TV-01_a.bc.log"},
    };
    for (const auto& [serial, file_name] : cases) {
        LogSwitches::error = 1;  // destroying the previous log turned it off
        cameralog log;
        ASSERT_EQ(log_open(&log, serial), 0) << serial;
        TAVI_LOG_ERROR(&log, "written");
        log_close(&log);
        EXPECT_TRUE(scratch.Exists(file_name)) << serial;
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, std::size(cases));
}

TEST(Log, ASymbolicLinkAtTheLogsNameIsNeverFollowed) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::error = 1;
    {
        std::ofstream target(scratch.path() / "precious.txt");
        target << "keep me";
    }
    std::filesystem::create_symlink(scratch.path() / "precious.txt", scratch.path() / "CAM1.log");
    cameralog log;
    EXPECT_EQ(log_open(&log, "CAM1"), -12);
    TAVI_LOG_ERROR(&log, "dropped");
    log_close(&log);
    EXPECT_EQ(scratch.Read("precious.txt"), "keep me");
}

TEST(Log, DestroyingALogClosesItsFile) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::error = 1;
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = open_descriptors();
    {
        cameralog log;
        ASSERT_EQ(log_open(&log, "closed"), 0);
        TAVI_LOG_ERROR(&log, "a line that reaches the disk");
    }
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_NE(scratch.Read("closed.log").find("a line that reaches the disk"), std::string::npos);
}

// Run under TSan: a stream thread logging while its camera disconnects and reconnects never writes
// to a closed file, and no line is torn.
TEST(Log, WritersAndACloseOnOtherThreadsDoNotRace) {
    SwitchesOff off;
    tavi::test::ScratchDirectory scratch;
    LogSwitches::info = 1;
    cameralog log;
    ASSERT_EQ(log_open(&log, "race"), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int n = 0; n < 3; ++n) {
        writers.emplace_back([&, n] {
            while (!stop.load()) TAVI_LOG_INFO(&log, "[function:Writer] line of writer %d", n);
        });
    }
    for (int round = 0; round < 200; ++round) {
        log_close(&log);
        ASSERT_EQ(log_open(&log, "race"), 0);
    }
    stop = true;
    for (std::thread& writer : writers) writer.join();
    log_close(&log);
    const std::string text = scratch.Read("race.log");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line + "\n", kLinePattern)) << line;
    }
}

TEST(Log, DestroyingALogObjectTurnsEverySwitchOff) {
    SwitchesOff off;
    LogSwitches::error = 1;
    LogSwitches::debug = 1;
    { Discovery discovery; }
    EXPECT_FALSE(LogSwitches::AnyOn());
}
