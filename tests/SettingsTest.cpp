// The settings file: defaults, logged changes, malformed values, once-only loading.
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/RuvarEduzidSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using Halvora::Common::ScopedLogCapture;
using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::RuvarEduzidSettings;

namespace {
std::wstring WriteIni(const std::string& name, const std::string& content) {
    std::string dir = RuvarTest::TempDir("settings_" + name);
    RuvarTest::WriteFile(dir + "/RuvarEduzid.ini", content);
    return StringUtility::StringToWstring(dir + "/RuvarEduzid.ini");
}
}  // namespace

TEST(Settings, DefaultsWithoutFileAndNothingLogged) {
    ScopedLogCapture capture(0);
    auto v = RuvarEduzidSettings::ReadFile(L"/nonexistent/RuvarEduzid.ini");
    EXPECT_EQ(v.connectionTimeoutMs, 30000);
    EXPECT_EQ(v.getNextTimeoutMs, 5000);
    EXPECT_EQ(v.rtspTransport, 0);
    EXPECT_EQ(v.decoderSurfaces, -1);
    EXPECT_EQ(v.ffmpegLogLevel, 8);
    EXPECT_EQ(v.liveBufferSizeMB, 50);
    EXPECT_TRUE(capture.Sink().Records().empty());
}

TEST(Settings, ChangedValuesAreLoggedAtInfoAndEqualValuesAreNot) {
    auto file = WriteIni("changed", "[Rtsp]\nRtspConnectionTimeout=20000\nRtspTransport=-3\n[FFMpeg]\nLogLevel=8\n"
                                    "LiveDecoderBufferSizeMB=+7\nDecoderThreads=0\n");
    ScopedLogCapture capture(0);
    auto v = RuvarEduzidSettings::ReadFile(file);
    EXPECT_EQ(v.connectionTimeoutMs, 20000);
    EXPECT_EQ(v.rtspTransport, -3);
    EXPECT_EQ(v.ffmpegLogLevel, 8);
    EXPECT_EQ(v.liveBufferSizeMB, 7);
    EXPECT_EQ(v.decoderThreads, 0);
    auto records = capture.Sink().Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].message, "Parameter value set from ini. Rtsp_RtspConnectionTimeout 30000 -> 20000");
    EXPECT_EQ(records[0].level, 2);
    EXPECT_TRUE(records[0].file.empty());
    EXPECT_EQ(records[1].message, "Parameter value set from ini. Rtsp_RtspTransport 0 -> -3");
    EXPECT_EQ(records[2].message, "Parameter value set from ini. FFMpeg_LiveDecoderBufferSizeMB 50 -> 7");
    EXPECT_EQ(records[3].message, "Parameter value set from ini. FFMpeg_DecoderThreads 1 -> 0");
}

TEST(Settings, MalformedValuesKeepTheDefaultWithAWarning) {
    struct Case {
        std::string fileText, shownText;
        int expected;
    } cases[] = {{"abc", "abc", -1}, {"\" 12\"", " 12", -1}, {"+12", "", 12}, {"2147483648", "2147483648", -1},
                 {"-2147483648", "", -2147483647 - 1}, {"12abc", "12abc", -1}, {"1.5", "1.5", -1}};
    for (const auto& c : cases) {
        auto file = WriteIni("malformed", "[FFMpeg]\nDecoderSurfaces=" + c.fileText + "\n");
        ScopedLogCapture capture(0);
        auto v = RuvarEduzidSettings::ReadFile(file);
        EXPECT_EQ(v.decoderSurfaces, c.expected) << c.fileText;
        auto warnings = capture.Sink().Records();
        if (c.shownText.empty()) continue;
        ASSERT_EQ(warnings.size(), 1u) << c.fileText;
        EXPECT_EQ(warnings[0].level, 3);
        EXPECT_EQ(warnings[0].message, "Failed to get FFMpeg : DecoderSurfaces. Value: " + c.shownText +
                                           ". Exception: bad lexical cast: source type value could not be "
                                           "interpreted as target");
        EXPECT_EQ(warnings[0].file, "Common/INIFileManager");
        EXPECT_EQ(warnings[0].line, 67);
        EXPECT_EQ(warnings[0].function, "Halvora::Common::INIFileManager::GetValue");
    }
}

TEST(SettingsDeathTest, LoadsOnceFromTheNamedFileAndKeepsTheFirstValues) {
    EXPECT_EXIT(
        {
            std::string dir = RuvarTest::TempDir("settings_once");
            std::string path = dir + "/custom.ini";
            RuvarTest::WriteFile(path, "[Rtsp]\nRtspGetNextTimeout=1234\nRtspTransport=7\n");
            setenv("RUVAREDUZID_INI", path.c_str(), 1);
            std::vector<std::thread> threads;
            for (int i = 0; i < 4; ++i) threads.emplace_back([] { RuvarEduzidSettings::Load(); });
            for (auto& t : threads) t.join();
            bool first = RuvarEduzidSettings::GetGetNextTimeout() == 1234 && RuvarEduzidSettings::GetRtspTransport() == 7 &&
                         RuvarEduzidSettings::GetConnectionTimeout() == 30000 && RuvarEduzidSettings::IsLoaded() &&
                         RuvarEduzidSettings::GetFilePath() == StringUtility::StringToWstring(path);
            RuvarTest::WriteFile(path, "[Rtsp]\nRtspGetNextTimeout=99\n");
            RuvarEduzidSettings::Load();
            std::exit(first && RuvarEduzidSettings::GetGetNextTimeout() == 1234 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SettingsDeathTest, WithoutTheVariableTheFileIsLookedForNextToTheExecutable) {
    EXPECT_EXIT(
        {
            unsetenv("RUVAREDUZID_INI");
            RuvarEduzidSettings::Load();
            std::wstring path = RuvarEduzidSettings::GetFilePath();
            char exe[4096];
            ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
            exe[n > 0 ? n : 0] = 0;
            std::string dir(exe);
            dir = dir.substr(0, dir.rfind('/'));
            std::exit(path == StringUtility::StringToWstring(dir + "/RuvarEduzid.ini") ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
