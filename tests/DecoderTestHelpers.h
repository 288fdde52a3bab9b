#pragma once

// Fixtures and helpers shared by the decoder tests.

#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/FFMpegDecoder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace DecoderTest {

using Halvora::RuvarEduzid::FFMpegDecoder;
using namespace Halvora::Video::Native;

inline const std::string kTestSrc = "-f lavfi -i testsrc2=size=320x240:rate=25 ";

inline std::string H264Mp4NoB() {
    return RuvarTest::MakeFixture("dec_h264_nob.mp4", kTestSrc +
                                                          "-t 2 -c:v libx264 -preset ultrafast -bf 0 -g 10 -pix_fmt yuv420p");
}
inline std::string H264Mp4B() {
    return RuvarTest::MakeFixture("dec_h264_b.mp4", kTestSrc +
                                                        "-t 2 -c:v libx264 -preset veryfast -bf 3 -g 12 -pix_fmt yuv420p");
}
inline std::string HevcMkv() {
    return RuvarTest::MakeFixture("dec_hevc.mkv",
                                  kTestSrc + "-t 1 -c:v libx265 -preset ultrafast -x265-params log-level=none "
                                             "-pix_fmt yuv420p");
}
inline std::string Vp9Webm() {
    return RuvarTest::MakeFixture("dec_vp9.webm",
                                  kTestSrc + "-t 1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -pix_fmt yuv420p");
}
// Audio first: the video is stream 1, and MPEG-TS starts its clock at 1.4 s.
inline std::string TsVideoSecond() {
    return RuvarTest::MakeFixture("dec_audio_first.ts",
                                  "-f lavfi -i sine=frequency=440:sample_rate=48000 " + kTestSrc +
                                      "-t 2 -map 0:a -map 1:v -c:a mp2 -c:v libx264 -preset ultrafast -bf 0 -g 25 "
                                      "-pix_fmt yuv420p -f mpegts");
}
inline std::string MjpegFullRange() {
    return RuvarTest::MakeFixture("dec_mjpeg_full.avi", kTestSrc + "-t 1 -c:v mjpeg -pix_fmt yuvj420p -q:v 3");
}
inline std::string H264Yuv422() {
    return RuvarTest::MakeFixture("dec_h264_422.mp4", kTestSrc + "-t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv422p");
}
inline std::string Mpeg4OddSize() {
    return RuvarTest::MakeFixture("dec_mpeg4_odd.mkv",
                                  kTestSrc + "-t 1 -vf scale=321:241 -c:v mpeg4 -q:v 4 -pix_fmt yuv420p");
}
// Video only, 10 s, a key frame every second.
inline std::string Ts10s() {
    return RuvarTest::MakeFixture("dec_live_10s.ts", kTestSrc +
                                                         "-t 10 -c:v libx264 -preset ultrafast -bf 0 -g 25 "
                                                         "-pix_fmt yuv420p -f mpegts");
}

// MD5 of the tightly packed Y, U and V planes of a 4:2:0 frame.
inline std::string PlanesMd5(const IDecodedFrame& frame) {
    int w = frame.Width(), h = frame.Height();
    int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::string packed;
    packed.reserve(static_cast<size_t>(w) * h * 3 / 2 + 4);
    for (int y = 0; y < h; ++y)
        packed.append(reinterpret_cast<const char*>(frame.GetY() + static_cast<ptrdiff_t>(y) * frame.StrideY()), w);
    for (const unsigned char* plane : {frame.GetU(), frame.GetV()})
        for (int y = 0; y < ch; ++y)
            packed.append(reinterpret_cast<const char*>(plane + static_cast<ptrdiff_t>(y) * frame.StrideUV()), cw);
    return RuvarTest::Md5Hex(reinterpret_cast<const uint8_t*>(packed.data()), packed.size());
}

struct Decoded {
    std::vector<std::string> digests;
    std::vector<long long> times;
    DecoderState endState = Ok;
};

// Decodes until the first result that is not a picture (at most `limit` pictures).
inline Decoded DecodeAll(IFrameDecoder& decoder, size_t limit = 100000) {
    Decoded out;
    for (size_t i = 0; i <= limit; ++i) {
        auto frame = decoder.GetNextFrame();
        if (!frame) {
            ADD_FAILURE() << "null frame";
            out.endState = Error;
            break;
        }
        if (frame->GetDecoderState() != Ok) {
            out.endState = frame->GetDecoderState();
            break;
        }
        out.digests.push_back(PlanesMd5(*frame));
        out.times.push_back(frame->GetFileTimeUtc());
    }
    return out;
}

inline VideoFileInfo InfoFor(const std::string& path) {
    VideoFileInfo info(Halvora::Common::StringUtility::StringToWstring(path));
    info.decoderId = Halvora::RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    return info;
}

inline std::vector<std::shared_ptr<DecoderParameter>> Params(std::vector<std::shared_ptr<DecoderParameter>> p) {
    return p;
}

}  // namespace DecoderTest
