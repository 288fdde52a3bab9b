// FFMpegDecoder fed from memory: the live form fed in pieces (on the decoding thread or from another
// one), the size limit, draining, opening again after a failure, and the exported plain functions
// over the caller's buffer.
#include "Common/DateTime.h"
#include "Common/Logger.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <functional>
#include <random>
#include <thread>

using namespace RuvarTest;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;

namespace {

unsigned char* Data(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

// What hosts feed, MPEG-TS and raw H.264 (Annex B): a second of flat grey, then a busy picture
// whose first frame is far larger than any packet before it. 100 frames, with B-frames. In
// 192-byte packets (m2ts) the MPEG-TS demuxer is read by the byte reserve, which that frame
// outgrows: the read is undone and done again from the packet before the last one handed out, and
// the packets after it (not key frames) must follow on.
std::string Stream(const std::string& format) {
    return MakeFixture("live_cut_g10." + format,
                       "-f lavfi -i 'color=c=gray:s=320x240:r=25:d=1[a];testsrc2=s=320x240:r=25:d=3[b];"
                       "[a][b]concat' -c:v libx264 -preset ultrafast -bf 2 -g 10 -pix_fmt yuv420p " +
                           std::string(format == "m2ts" ? "-f mpegts -mpegts_m2ts_mode 1" : "-f " + format));
}
// Opens either stream, within its grey second.
constexpr size_t kOpening = 4096;

long long UnixSecondsNow() { return (DateTime::NowUTC().GetFileTime() - DateTime::UnixEpochTicks) / 10000000; }

struct Fed {
    std::vector<std::string> digests;
    DecoderState end = Ok;
    bool arrivalTimes = true;  // every frame dated with the time it came out, in whole Unix seconds
};

// Feeds the bytes after the opening in pieces whose sizes `piece` draws, then the end (a zero-size
// append): on the decoding thread (append, then frames until NotAvailable, then the next piece)
// or from another thread while this one takes frames.
Fed FeedLive(std::string& bytes, const std::function<size_t()>& piece, bool otherThread) {
    Fed out;
    const long long start = UnixSecondsNow();
    FFMpegDecoder decoder;
    if (!decoder.Initialize(Data(bytes), 1 << 16, kOpening, true, nullptr)) {
        ADD_FAILURE() << "the live buffer did not open";
        return out;
    }
    auto take = [&] {
        for (;;) {
            auto frame = decoder.GetNextFrame();
            if (frame->GetDecoderState() != Ok) return frame->GetDecoderState();
            out.digests.push_back(PlanesMd5(*frame));
            const long long time = frame->GetFileTimeUtc();
            out.arrivalTimes = out.arrivalTimes && time >= start && time <= UnixSecondsNow();
        }
    };
    auto feed = [&] {
        for (size_t at = kOpening; at < bytes.size();) {
            const size_t n = std::min(piece(), bytes.size() - at);
            EXPECT_TRUE(decoder.AppendChunkToBuffer(Data(bytes) + at, n));
            at += n;
            if (!otherThread && take() != NotAvailable) return ADD_FAILURE() << "decoding stopped at byte " << at;
        }
        EXPECT_TRUE(decoder.AppendChunkToBuffer(nullptr, 0));
    };
    if (!otherThread) {
        feed();
        out.end = take();
        return out;
    }
    std::thread feeder(feed);
    WaitUntil([&] { return (out.end = take()) != NotAvailable; }, 120);
    feeder.join();
    return out;
}

}  // namespace

struct LiveCase {
    const char* format;
    bool otherThread;
};
void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.format << (c.otherThread ? ", another thread" : ""); }
class LiveBufferPieces : public ::testing::TestWithParam<LiveCase> {};

// Cut anywhere, down to single bytes, fed on the decoding thread or from another one: every
// picture comes out as FFmpeg decodes the stream, none is lost, and the end drains the decoder.
TEST_P(LiveBufferPieces, GiveEveryPictureOfTheStream) {
    const std::string path = Stream(GetParam().format);
    std::string bytes = ReadFile(path);
    const auto reference = FrameMd5(path, "-fps_mode passthrough");
    ASSERT_EQ(reference.size(), 100u);
    std::mt19937 seed7(7), seed99(99);
    std::uniform_int_distribution<size_t> size(1, 20000);
    const std::pair<const char*, std::function<size_t()>> pieces[] = {
        {"random sizes, seed 7", [&] { return size(seed7); }},
        {"random sizes, seed 99", [&] { return size(seed99); }},
        {"one byte at a time", [] { return size_t{1}; }},
        {"1316-byte pieces", [] { return size_t{1316}; }},
    };
    for (const auto& [name, piece] : pieces) {
        const Fed fed = FeedLive(bytes, piece, GetParam().otherThread);
        EXPECT_EQ(fed.end, EndOfArchive) << name;
        EXPECT_EQ(fed.digests, reference) << name;
        EXPECT_TRUE(fed.arrivalTimes) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(MpegTsAndRawH264, LiveBufferPieces,
                         ::testing::Values(LiveCase{"mpegts", false}, LiveCase{"mpegts", true}, LiveCase{"h264", false},
                                           LiveCase{"h264", true}, LiveCase{"m2ts", false}),
                         [](const ::testing::TestParamInfo<LiveCase>& info) {
                             return std::string(info.param.format) +
                                    (info.param.otherThread ? "_FromAnotherThread" : "_OnTheDecodingThread");
                         });

// A failed opening (too few bytes, parameters that do not go together) leaves nothing half-open:
// the same decoder opens at the next attempt.
TEST(DecoderLiveBuffer, OpensAgainAfterAFailedAttempt) {
    const std::string path = Stream("mpegts");
    std::string bytes = ReadFile(path);
    const std::vector<std::shared_ptr<DecoderParameter>> hardware{std::make_shared<CuvidDecoderParameter>(2, 0)};
    FFMpegDecoder decoder;
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1 << 16, 100, true, nullptr));
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1 << 16, kOpening, true, &hardware));
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 16, kOpening, true, nullptr));
    // An open decoder refuses a second opening and goes on with its input.
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1 << 16, kOpening, true, nullptr));
    ASSERT_TRUE(decoder.AppendChunkToBuffer(Data(bytes) + kOpening, bytes.size() - kOpening));
    ASSERT_TRUE(decoder.AppendChunkToBuffer(nullptr, 0));
    const Decoded decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.endState, EndOfArchive);
    EXPECT_EQ(decoded.digests, FrameMd5(path, "-fps_mode passthrough"));
}

// With nothing queued a live decoder has nothing available; the buffer grows with a warning and
// refuses chunks past the limit (50 MB) while it takes those within; data larger than the capacity
// is refused.
TEST(DecoderLiveBuffer, QueueLimitsAndGrowth) {
    std::string bytes = ReadFile(Ts10s());
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, 200000, true, nullptr));
    EXPECT_EQ(DecodeAll(decoder).endState, NotAvailable);
    EXPECT_EQ(decoder.GetNextPacket()->GetDemuxerState(), NotAvailable);
    ScopedLogCapture capture(3);
    std::string chunk(2 << 20, '\0');
    ASSERT_TRUE(decoder.AppendChunkToBuffer(Data(chunk), chunk.size()));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::AppendChunkToBuffer. increased buffer size from 1048576 to ", 3));
    std::string big(50u << 20, '\0');
    EXPECT_FALSE(decoder.AppendChunkToBuffer(Data(big), big.size()));
    EXPECT_TRUE(capture.Sink().Contains("Live decoding buffer size is exceeded 50M", 4));
    EXPECT_TRUE(decoder.AppendChunkToBuffer(Data(chunk), 1000));
    FFMpegDecoder small;
    EXPECT_FALSE(small.Initialize(Data(bytes), 1000, 2000, true, nullptr));
}

// ---- exported plain functions, called as a host calls them ------------------------------

TEST(DecoderPlainFunctions, WorkThroughDlopen) {
    using Create = void* (*)();
    using Destroy = void (*)(void*);
    using InitializeFromBuffer = bool (*)(void*, unsigned char*, size_t, int64_t);
    using AppendBuffer = bool (*)(void*, unsigned char*, size_t);
    using GetNextFrame = void (*)(void*);
    auto create = Exported<Create>("FFMpegDecoder_Create");
    auto destroy = Exported<Destroy>("FFMpegDecoder_Destroy");
    auto initialize = Exported<InitializeFromBuffer>("FFMpegDecoder_InitializeFromBuffer");
    auto append = Exported<AppendBuffer>("FFMpegDecoder_AppendBuffer");
    auto step = Exported<GetNextFrame>("FFMpegDecoder_GetNextFrame");
    ASSERT_TRUE(create && destroy && initialize && append && step);

    std::string bytes = ReadFile(H264Mp4NoB());
    void* decoder = create();
    ASSERT_NE(decoder, nullptr);
    ASSERT_TRUE(initialize(decoder, Data(bytes), bytes.size(), 133000000000000000LL));
    EXPECT_FALSE(append(decoder, Data(bytes), 16));
    for (int i = 0; i < 49; ++i) step(decoder);
    // Through the decoder's own virtual table (as a host holding the object would call it): the
    // last frame, dated from the start time, then the end.
    auto* asDecoder = static_cast<IFrameDecoder*>(static_cast<FFMpegDecoder*>(decoder));
    EXPECT_EQ(asDecoder->GetNextFrame()->GetFileTimeUtc(), 133000000000000000LL + 49 * 400000LL);
    EXPECT_EQ(asDecoder->GetNextFrame()->GetDecoderState(), EndOfArchive);
    destroy(decoder);
    destroy(nullptr);
}
