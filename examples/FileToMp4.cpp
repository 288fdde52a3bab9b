// A video file decoded with capture times and written again as H.264 in MP4.
//   Usage: FileToMp4 INPUT OUTPUT.mp4
//
// A file loop ends at EndOfArchive (all frames read) or Error (the file is damaged).
#include <Common/DateTime.h>
#include <Common/StringUtility.h>
#include <RuvarEduzid/DecoderUtils.h>
#include <RuvarEduzid/GenericVideoWriter.h>

#include <cstdio>

using namespace Halvora;
namespace Native = Halvora::Video::Native;

int main(int argc, char** argv) try {
    if (argc != 3) return std::fprintf(stderr, "usage: FileToMp4 INPUT OUTPUT.mp4\n"), 2;
    const std::wstring input = Common::StringUtility::StringToWstring(argv[1]);
    const Native::VideoFileInfo probed = *RuvarEduzid::DecoderUtils::GetVideoFileInfo(input).infos.at(0);

    Native::VideoFileInfo info(input);
    info.decoderId = RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    info.startTime = Common::DateTime::FromUnixSeconds(1735732800);  // the first frame's UTC time
    std::vector<std::shared_ptr<Native::DecoderParameter>> params;     // software, yuv420p
    std::unique_ptr<Native::IFrameDecoder> decoder(RuvarEduzid::DecoderUtils::CreateDecoder(info, &params));

    // Frame rate in hundredths of a frame per second.
    RuvarEduzid::GenericVideoWriter writer(Common::StringUtility::StringToWstring(argv[2]), probed.width,
                                           probed.height, static_cast<int>(probed.fps * 100 + 0.5f));
    std::shared_ptr<Native::IDecodedFrame> last;
    int frames = 0;
    for (;;) {
        std::shared_ptr<Native::IDecodedFrame> frame = decoder->GetNextFrame();
        if (frame->GetDecoderState() == Native::EndOfArchive) break;
        if (frame->GetDecoderState() != Native::Ok) return std::fprintf(stderr, "decoding failed\n"), 1;
        Common::DateTime t(frame->GetFileTimeUtc());  // 100-ns ticks since 1601 UTC
        std::printf("frame %d %s\n", ++frames, t.toString().c_str());
        writer.WriteFrame(frame);
        last = frame;
    }
    // The writer encodes one call late: the last frame is handed over once more.
    if (last) writer.WriteFrame(last);
    return 0;  // the writer finishes the file when it goes
} catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
}
