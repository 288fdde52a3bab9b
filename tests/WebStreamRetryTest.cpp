// A video-management system that does not answer GET_PARAMETER: SeeTec retries ten times with
// 500 ms pauses, Milestone and VmsAgent give up at once; each failure names its system.
#include "Common/Exception.h"
#include "RuvarEduzid/WebStreamDecoderFactory.h"
#include "vms/VmsServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::CodeErrorException;
using Clock = std::chrono::steady_clock;

namespace {

// A short frame time-out: the network watchdog ends each unanswered GET_PARAMETER within about
// two seconds (it counts whole seconds and doubles the allowance twice before it aborts).
std::wstring kOptions = L"{\"RtspGetFrameTimeoutParameter\": \"250\"}";

std::string Config(const std::string& getParameter) {
    return "{\"frames\": 1500, \"pace_ms\": 15, \"ts0\": 90000, \"lifetime\": 55, \"get_parameter\": " + getParameter + "}";
}

int GetParameterRequests(const RuvarTest::VmsServer& server) {
    std::string stats = server.Stats();
    size_t at = stats.find("\"get_parameter\": ");
    return at == std::string::npos ? -1 : std::stoi(stats.substr(at + 17));
}

std::string FailureOfFirstFrame(GenericWebStreamFfmpegDecoder& decoder) {
    try {
        decoder.GetNextFrame();
    } catch (const CodeErrorException& e) {
        return e.Message();
    }
    return "(no exception)";
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

TEST(WebStreamRetry, SeeTecWorksWhenTheFourthRequestIsAnswered) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(Config(
        "{\"silent_first\": 3, \"body\": \"SeeTecTimestamp: 1600000000000\\r\\nLastRTPTimestamp: 90000\\r\\n\"}"));
    ASSERT_GT(server.Port(), 0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder("SeeTec"));
    std::wstring json = kOptions;
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    auto start = Clock::now();
    auto frame = decoder->GetNextFrame();
    double elapsed = Seconds(start);
    ASSERT_EQ(frame->GetDecoderState(), DecoderState::Ok);
    EXPECT_EQ(GetParameterRequests(server), 4);
    EXPECT_GE(elapsed, 1.5);  // three pauses of 500 ms
    // Dated from the fourth reply: 1600000000000 ms at RTP time 90000, 40 ms per frame.
    long long base = static_cast<long long>((1600000000000ULL + 11644473600000ULL) * 10000ULL);
    EXPECT_EQ((frame->GetFileTimeUtc() - base) % 400000, 0);
    EXPECT_GE(frame->GetFileTimeUtc(), base);
}

TEST(WebStreamRetry, SeeTecGivesUpAfterTenRetries) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(Config("{\"silent\": true}"));
    ASSERT_GT(server.Port(), 0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder("SeeTec"));
    std::wstring json = kOptions;
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    auto start = Clock::now();
    EXPECT_EQ(FailureOfFirstFrame(*decoder), "Cannot get rtsp range start parameter from SeeTec");
    EXPECT_GE(Seconds(start), 5.0);  // ten pauses of 500 ms
    EXPECT_EQ(GetParameterRequests(server), 11);
}

TEST(WebStreamRetry, SeeTecInterruptStopsTheRetries) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(Config("{\"silent\": true}"));
    ASSERT_GT(server.Port(), 0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder("SeeTec"));
    std::wstring json = kOptions;
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    std::thread interrupter([&decoder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        decoder->Interrupt();
    });
    auto start = Clock::now();
    EXPECT_EQ(FailureOfFirstFrame(*decoder), "Cannot get rtsp range start parameter from SeeTec");
    interrupter.join();
    EXPECT_LT(Seconds(start), 5.0);
    EXPECT_LT(GetParameterRequests(server), 11);
}

TEST(WebStreamRetry, MilestoneFailsAtOnceInsideInitialize) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(Config("{\"silent\": true}"));
    ASSERT_GT(server.Port(), 0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder("Milestone"));
    std::wstring json = kOptions;
    std::string failure = "(no exception)";
    try {
        decoder->Initialize(server.Url(), -1, json);
    } catch (const CodeErrorException& e) {
        failure = e.Message();
    }
    EXPECT_EQ(failure, "Cannot get rtsp range start parameter from Milestone");
    EXPECT_EQ(GetParameterRequests(server), 1);
}

TEST(WebStreamRetry, VmsAgentFailsAtOnce) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(Config("{\"silent\": true}"));
    ASSERT_GT(server.Port(), 0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder("VmsAgent"));
    std::wstring json = kOptions;
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    EXPECT_EQ(FailureOfFirstFrame(*decoder), "Cannot get rtsp range start parameter from VmsAgent");
    EXPECT_EQ(GetParameterRequests(server), 1);
}
