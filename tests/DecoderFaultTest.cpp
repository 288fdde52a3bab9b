// Damaged media of every fixture kind: a damaged input ends in EndOfArchive or Error (or loses
// only damaged frames); nothing crashes or hangs.
#include "DecoderTestHelpers.h"

#include "Common/DateTime.h"
#include "support/FaultSupport.h"

#include <algorithm>

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
