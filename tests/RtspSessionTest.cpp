// The RTSP session layer against real servers: GStreamer's RTSP server (a peer no one here wrote)
// and the scriptable test server of tests/rtsp for the extension facilities and the faults.

#include "Common/Logger.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "support/RtspTestServer.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

using namespace Halvora::RuvarEduzid;
using Halvora::RuvarEduzid::Rtsp::RtspInput;
using Halvora::RuvarEduzid::Rtsp::RtspSessionOptions;
using Halvora::RuvarEduzid::Rtsp::RtspTransportMode;
using RuvarTest::RtspTestServer;
using Clock = std::chrono::steady_clock;

namespace {

// An interrupt callback with a deadline and a flag another thread may set.
struct Watchdog {
    std::atomic<bool> interrupted{false};
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    std::atomic<int> calls{0};
    static int Callback(void* opaque) {
        auto* self = static_cast<Watchdog*>(opaque);
        self->calls++;
        return self->interrupted.load() || Clock::now() > self->deadline;
    }
};

struct OpenedInput {
    std::unique_ptr<RtspInput> input;
    AVFormatContext* ctx = nullptr;
    int rc = 0;
    int Open(const std::string& url, const RtspSessionOptions& options) {
        input = RtspInput::Open(nullptr, url, options, &rc);
        ctx = input ? input->Context() : nullptr;
        return rc;
    }
};

RtspSessionOptions Options(RtspTransportMode mode, Watchdog* watchdog = nullptr, int openTimeoutMs = 10000) {
    RtspSessionOptions options;
    options.transport = mode;
    options.openTimeoutMs = openTimeoutMs;
    options.readTimeoutMs = 10000;
    if (watchdog) options.interrupt = AVIOInterruptCB{&Watchdog::Callback, watchdog};
    return options;
}

void Open(OpenedInput& input, const std::string& url, const RtspSessionOptions& options) {
    input.Open(url, options);
    if (input.rc >= 0) {
        input.rc = avformat_find_stream_info(input.ctx, nullptr);
    }
}

struct DecodeResult {
    std::vector<std::string> md5;
    std::vector<int64_t> pts;
    int endCode = 0;
};

// Decodes the video of an opened input until the stream ends (or `maxFrames`), hashing each
// picture as FFmpeg's framemd5 does for yuv420p.
DecodeResult DecodeAll(AVFormatContext* ctx, size_t maxFrames = 1000) {
    DecodeResult result;
    const AVStream* st = ctx->streams[0];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContextPtr dec(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(dec.get(), st->codecpar);
    EXPECT_EQ(avcodec_open2(dec.get(), codec, nullptr), 0);
    AVPacketPtr pkt(av_packet_alloc());
    AVFramePtr frame(av_frame_alloc());
    auto take = [&]() {
        while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
            int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
            std::vector<uint8_t> buf(static_cast<size_t>(size));
            av_image_copy_to_buffer(buf.data(), size, frame->data, frame->linesize,
                                    static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
            result.md5.push_back(RuvarTest::Md5Hex(buf.data(), buf.size()));
            result.pts.push_back(frame->best_effort_timestamp);
        }
    };
    for (int i = 0; i < 100000 && result.md5.size() < maxFrames; ++i) {
        int rc = RtspInput::Of(ctx)->ReadFrame(pkt.get());
        if (rc < 0) {
            result.endCode = rc;
            break;
        }
        if (pkt->stream_index == 0) avcodec_send_packet(dec.get(), pkt.get());
        av_packet_unref(pkt.get());
        take();
    }
    if (result.md5.size() < maxFrames) {
        avcodec_send_packet(dec.get(), nullptr);
        take();
    }
    return result;
}

const char* kGstH264 = "( filesrc location=%s ! matroskademux ! h264parse ! rtph264pay name=pay0 pt=96 )";

std::string GstLaunch() {
    std::string launch = kGstH264;
    launch.replace(launch.find("%s"), 2, RtspTestServer::MatroskaFixture());
    return launch;
}

}  // namespace

// ---- GStreamer's RTSP server --------------------------------------------------------------------

class GStreamerRtspTest : public ::testing::TestWithParam<RtspTransportMode> {};

TEST_P(GStreamerRtspTest, EveryFrameDecodesAndMatchesTheSource) {
    const auto expected = RuvarTest::FrameMd5(RtspTestServer::MatroskaFixture());
    ASSERT_EQ(expected.size(), 50u);
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(GstLaunch(), GetParam() == RtspTransportMode::PreferTcp ? "--protocols udp" : ""));
    OpenedInput input;
    Open(input, server.Url(), Options(GetParam()));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    if (GetParam() == RtspTransportMode::PreferTcp) {
        EXPECT_EQ(RtspInput::Of(input.ctx)->Session().ActiveTransport(), RtspTransportMode::Udp);
    }
    DecodeResult result = DecodeAll(input.ctx);
    EXPECT_EQ(result.endCode, AVERROR_EOF);
    EXPECT_EQ(result.md5, expected);
}

INSTANTIATE_TEST_SUITE_P(Transports, GStreamerRtspTest,
                         ::testing::Values(RtspTransportMode::Interleaved, RtspTransportMode::Udp,
                                           RtspTransportMode::PreferTcp));

class GStreamerAuthTest : public ::testing::TestWithParam<const char*> {};

TEST_P(GStreamerAuthTest, CredentialsFromTheAddressAreAcceptedAndNeverLogged) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(GstLaunch(), std::string("--auth ") + GetParam() + " --user cam --password s3cr%t@x"));
    Halvora::Common::ScopedLogCapture capture(0);
    {
        OpenedInput input;
        Open(input, server.Url("/test", "cam:s3cr%25t%40x"), Options(RtspTransportMode::Interleaved));
        ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
        EXPECT_EQ(DecodeAll(input.ctx, 10).md5.size(), 10u);
    }
    {
        OpenedInput wrong;
        Open(wrong, server.Url("/test", "cam:wrong-s3cr%25t"), Options(RtspTransportMode::Interleaved));
        EXPECT_EQ(wrong.rc, AVERROR_HTTP_UNAUTHORIZED);
    }
    for (const auto& message : capture.Sink().Messages()) {
        EXPECT_EQ(message.find("s3cr"), std::string::npos) << message;
        EXPECT_EQ(message.find("wrong-"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, GStreamerAuthTest, ::testing::Values("basic", "digest"));

TEST(GStreamerRtspH265Test, HevcOverInterleavedTcpDecodesEveryFrame) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(
        "( videotestsrc num-buffers=30 ! video/x-raw,width=320,height=240,framerate=25/1 ! "
        "x265enc tune=zerolatency ! rtph265pay name=pay0 pt=96 )"));
    OpenedInput input;
    Open(input, server.Url(), Options(RtspTransportMode::Interleaved));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    EXPECT_EQ(input.ctx->streams[0]->codecpar->codec_id, AV_CODEC_ID_HEVC);
    DecodeResult result = DecodeAll(input.ctx);
    EXPECT_EQ(result.md5.size(), 30u);
}
