// Damaged media of every fixture kind, and live buffers fed in chunks of random sizes.
// A damaged input ends in EndOfArchive or Error (or loses only damaged frames); nothing crashes
// or hangs; a live buffer gives the same pictures however its bytes are cut.
#include "DecoderTestHelpers.h"

#include "Common/DateTime.h"
#include "support/FaultSupport.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <random>

using namespace DecoderTest;
using Halvora::Common::DateTime;

namespace {

struct Kind {
    const char* name;
    std::string (*path)();
};

std::string RawH264() {
    return RuvarTest::MakeFixture("fault_raw.h264", kTestSrc + "-t 1 -c:v libx264 -preset ultrafast -g 10 -f h264");
}
std::string Flv() { return RuvarTest::MakeFixture("fault_flv1.flv", kTestSrc + "-t 1 -c:v flv1"); }
std::string Mpeg2Ts() {
    return RuvarTest::MakeFixture("fault_mpeg2.ts", kTestSrc + "-t 1 -c:v mpeg2video -g 10 -f mpegts");
}

const Kind kKinds[] = {
    {"h264_mp4", H264Mp4NoB}, {"h264_b_mp4", H264Mp4B},      {"hevc_mkv", HevcMkv}, {"vp9_webm", Vp9Webm},
    {"h264_ts", TsVideoSecond}, {"mjpeg_avi", MjpegFullRange}, {"mpeg4_mkv", Mpeg4OddSize},
    {"h264_raw", RawH264},     {"flv1_flv", Flv},              {"mpeg2_ts", Mpeg2Ts},
};

// Decodes a file; Initialize may refuse a damaged file (a clear failure), otherwise the loop ends
// in EndOfArchive or Error within a bounded number of calls.
struct Outcome {
    bool opened = false;
    size_t frames = 0;
    DecoderState end = Ok;
};

Outcome DecodeFile(const std::string& path, size_t limit) {
    Outcome out;
    FFMpegDecoder decoder;
    out.opened = decoder.Initialize(InfoFor(path), nullptr);
    if (!out.opened) return out;
    Decoded d = DecodeAll(decoder, limit);
    out.frames = d.digests.size();
    out.end = d.endState;
    return out;
}

Outcome DecodeStatic(std::string& bytes, size_t limit) {
    Outcome out;
    FFMpegDecoder decoder;
    out.opened = decoder.Initialize(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(),
                                    DateTime(DateTime::UnixEpochTicks));
    if (!out.opened) return out;
    Decoded d = DecodeAll(decoder, limit);
    out.frames = d.digests.size();
    out.end = d.endState;
    return out;
}

void ExpectCleanEnd(const Outcome& o, size_t limit, const std::string& what) {
    if (!o.opened) return;
    EXPECT_TRUE(o.end == EndOfArchive || o.end == Error) << what << ": ended in state " << static_cast<int>(o.end);
    EXPECT_LE(o.frames, limit) << what;
}

}  // namespace

class DamagedMedia : public ::testing::TestWithParam<Kind> {};

// Cut at several points, from the header to the last byte: never a crash or a hang.
TEST_P(DamagedMedia, TruncatedFilesEndCleanly) {
    const std::string original = RuvarTest::ReadFile(GetParam().path());
    const size_t reference = DecodeFile(GetParam().path(), 100000).frames;
    ASSERT_GT(reference, 0u);
    const std::string dir = RuvarTest::TempDir(std::string("fault_trunc_") + GetParam().name);
    for (double fraction : {0.0, 0.02, 0.1, 0.5, 0.9, 0.999}) {
        const size_t keep = static_cast<size_t>(original.size() * fraction);
        std::string bytes = RuvarTest::Truncated(original, keep);
        const std::string path = dir + "/cut_" + std::to_string(keep);
        RuvarTest::WriteFile(path, bytes);
        const std::string what = std::string(GetParam().name) + " cut to " + std::to_string(keep) + " bytes";
        Outcome file = DecodeFile(path, reference);
        ExpectCleanEnd(file, reference, what + " (file)");
        Outcome memory = DecodeStatic(bytes, reference);
        ExpectCleanEnd(memory, reference, what + " (static buffer)");
    }
}

// Bits flipped after the first kilobyte: decoding skips or reports what is damaged.
TEST_P(DamagedMedia, BitFlippedFilesEndCleanly) {
    const std::string original = RuvarTest::ReadFile(GetParam().path());
    const size_t reference = DecodeFile(GetParam().path(), 100000).frames;
    ASSERT_GT(reference, 0u);
    const std::string dir = RuvarTest::TempDir(std::string("fault_flip_") + GetParam().name);
    // Corruption may split or merge frames; a bound well above the reference catches a loop.
    const size_t limit = reference * 4 + 64;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        for (unsigned flips : {1u, 16u, 256u}) {
            std::string bytes = RuvarTest::BitFlipped(original, flips, seed, std::min<size_t>(1024, original.size() / 8));
            const std::string path = dir + "/flip_" + std::to_string(seed) + "_" + std::to_string(flips);
            RuvarTest::WriteFile(path, bytes);
            const std::string what = std::string(GetParam().name) + " with " + std::to_string(flips) +
                                     " flipped bits, seed " + std::to_string(seed);
            ExpectCleanEnd(DecodeFile(path, limit), limit, what + " (file)");
            ExpectCleanEnd(DecodeStatic(bytes, limit), limit, what + " (static buffer)");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFixtureKind, DamagedMedia, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

namespace {

// Where two picture lists part: "same" or the sizes and the first differing index.
std::string Compare(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a == b) return "same";
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    size_t differing = 0;
    for (size_t k = 0; k < std::min(a.size(), b.size()); ++k) differing += a[k] != b[k];
    return std::to_string(a.size()) + " vs " + std::to_string(b.size()) + " pictures, first difference at " +
           std::to_string(i) + ", " + std::to_string(differing) + " differing";
}

// Decodes `bytes` through the live buffer, appending chunks whose sizes `chunkSize` draws,
// stepping the decoder after each append, then ending the input with a zero-size append.
Decoded DecodeLive(const std::string& bytes, const std::function<size_t()>& chunkSize, size_t initial) {
    Decoded out;
    FFMpegDecoder decoder;
    std::string head = bytes.substr(0, initial);
    if (!decoder.Initialize(reinterpret_cast<unsigned char*>(&head[0]), std::max<size_t>(head.size(), 1 << 16), head.size(), true, nullptr)) {
        ADD_FAILURE() << "live buffer did not open with " << initial << " bytes";
        return out;
    }
    auto drain = [&](bool untilEnd) {
        for (int guard = 0; guard < 100000; ++guard) {
            auto frame = decoder.GetNextFrame();
            if (!frame) {
                ADD_FAILURE() << "null frame";
                return false;
            }
            DecoderState s = frame->GetDecoderState();
            if (s == Ok) {
                out.digests.push_back(PlanesMd5(*frame));
                continue;
            }
            if (s == NotAvailable && !untilEnd) return true;
            out.endState = s;
            return false;
        }
        ADD_FAILURE() << "decoder never ran dry";
        return false;
    };
    size_t at = head.size();
    bool open = drain(false);
    while (open && at < bytes.size()) {
        size_t n = std::min(chunkSize(), bytes.size() - at);
        std::string piece = bytes.substr(at, n);
        EXPECT_TRUE(decoder.AppendChunkToBuffer(reinterpret_cast<unsigned char*>(&piece[0]), piece.size()));
        at += n;
        open = drain(false);
    }
    EXPECT_TRUE(open) << "the live decoder stopped before its input ended";
    decoder.AppendChunkToBuffer(nullptr, 0);
    drain(true);
    return out;
}

std::string LiveTs() {
    return RuvarTest::MakeFixture("fault_live.ts", kTestSrc +
                                                       "-t 4 -c:v libx264 -preset ultrafast -bf 2 -g 12 -pix_fmt yuv420p "
                                                       "-f mpegts");
}

// Opening bytes that cover FFmpeg's stream-information probing of LiveTs (about 20 frames).
constexpr size_t kOpeningBytes = 128 * 1024;

Decoded ReferenceOf(const std::string& path) {
    FFMpegDecoder decoder;
    EXPECT_TRUE(decoder.Initialize(InfoFor(path), nullptr));
    Decoded reference = DecodeAll(decoder);
    EXPECT_EQ(reference.endState, EndOfArchive);
    return reference;
}

}  // namespace

// Decodes `bytes` through the live buffer while another thread appends them in chunks whose
// sizes `chunkSize` draws, then ends the input with a zero-size append: the host's live case.
Decoded DecodeLiveFedByThread(const std::string& bytes, const std::function<size_t()>& chunkSize, size_t initial) {
    Decoded out;
    FFMpegDecoder decoder;
    std::string head = bytes.substr(0, initial);
    if (!decoder.Initialize(reinterpret_cast<unsigned char*>(&head[0]), std::max<size_t>(head.size(), 1 << 16), head.size(), true, nullptr)) {
        ADD_FAILURE() << "live buffer did not open with " << initial << " bytes";
        return out;
    }
    std::vector<size_t> sizes;
    for (size_t at = head.size(); at < bytes.size();) {
        sizes.push_back(std::min(chunkSize(), bytes.size() - at));
        at += sizes.back();
    }
    std::thread feeder([&] {
        size_t at = head.size();
        for (size_t n : sizes) {
            std::string piece = bytes.substr(at, n);
            decoder.AppendChunkToBuffer(reinterpret_cast<unsigned char*>(&piece[0]), piece.size());
            at += n;
        }
        decoder.AppendChunkToBuffer(nullptr, 0);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        auto frame = decoder.GetNextFrame();
        if (!frame) {
            ADD_FAILURE() << "null frame";
            break;
        }
        DecoderState s = frame->GetDecoderState();
        if (s == Ok) {
            out.digests.push_back(PlanesMd5(*frame));
        } else if (s == NotAvailable) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            out.endState = s;
            break;
        }
    }
    feeder.join();
    return out;
}

// The host's live case: a network thread appends while the decoding thread decodes. However the
// stream is cut, one byte at a time included, every picture comes out unchanged.
TEST(LiveBufferChunks, FedFromAnotherThreadGivesEveryPicture) {
    const std::string bytes = RuvarTest::ReadFile(LiveTs());
    const Decoded reference = ReferenceOf(LiveTs());
    for (uint32_t seed : {5u, 77u}) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<size_t> size(1, 20000);
        Decoded live = DecodeLiveFedByThread(bytes, [&] { return size(random); }, kOpeningBytes);
        EXPECT_EQ(live.endState, EndOfArchive) << "seed " << seed;
        EXPECT_EQ(Compare(live.digests, reference.digests), "same") << "seed " << seed;
    }
    Decoded bytewise = DecodeLiveFedByThread(bytes, [] { return size_t{1}; }, kOpeningBytes);
    EXPECT_EQ(bytewise.endState, EndOfArchive);
    EXPECT_EQ(Compare(bytewise.digests, reference.digests), "same");
}

// Appends and decoding on one thread: a read that runs dry ends FFmpeg's view of the input, so a
// packet cut by a chunk boundary is damaged (see the notes of the live form). What must hold:
// no crash, no hang, decoding goes on after each append, and the zero-size append ends it.
TEST(LiveBufferChunks, FedFromTheDecodingThreadEndsCleanly) {
    const std::string bytes = RuvarTest::ReadFile(LiveTs());
    const Decoded reference = ReferenceOf(LiveTs());
    for (uint32_t seed : {7u, 99u}) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<size_t> size(1, 20000);
        Decoded live = DecodeLive(bytes, [&] { return size(random); }, kOpeningBytes);
        EXPECT_EQ(live.endState, EndOfArchive) << "seed " << seed;
        EXPECT_LE(live.digests.size(), reference.digests.size() + 2) << "seed " << seed;
        EXPECT_GE(live.digests.size(), reference.digests.size() / 2) << "seed " << seed;
        std::printf("random chunks, seed %u: %s\n", seed, Compare(live.digests, reference.digests).c_str());
    }
    Decoded bytewise = DecodeLive(bytes, [] { return size_t{1}; }, kOpeningBytes);
    EXPECT_EQ(bytewise.endState, EndOfArchive);
    EXPECT_LE(bytewise.digests.size(), reference.digests.size() + 2);
    std::printf("one byte at a time: %s\n", Compare(bytewise.digests, reference.digests).c_str());
}
