// A camera decoded with the capture time of every frame and written as HLS in two renditions
// (full and half size), told of every finished segment.
//   Usage: CameraToHls rtsp://CAMERA/stream OUT/master.m3u8 [FRAMES]    (FRAMES 0: no limit)
//
// A live loop differs from a file loop: NotAvailable only means "no frame yet" (ask again after a
// short wait), and a camera never ends, so Error or EndOfArchive means the connection is lost:
// connect again.
#include <Common/DateTime.h>
#include <Common/Exception.h>
#include <Common/StringUtility.h>
#include <RuvarEduzid/DecoderUtils.h>
#include <RuvarEduzid/VideoWriterFactory.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace Halvora;
namespace Native = Halvora::Video::Native;

// Opens the camera; a failed attempt is retried after a pause, at most `attempts` times. The
// stream's clock starts anywhere: its first frame is dated at the time of connection.
std::unique_ptr<Native::IFrameDecoder> Connect(Native::VideoFileInfo info, int attempts) {
    std::vector<std::shared_ptr<Native::DecoderParameter>> params{
        std::make_shared<Native::RtspConnectionTimeoutParameter>(10000),  // ms to connect
        std::make_shared<Native::RtspGetFrameTimeoutParameter>(5000)};    // ms to wait for a frame
    for (int attempt = 1;; ++attempt) {
        try {
            info.startTime = Common::DateTime::NowUTC();
            return std::unique_ptr<Native::IFrameDecoder>(RuvarEduzid::DecoderUtils::CreateDecoder(info, &params));
        } catch (const Common::Exception& e) {
            std::fprintf(stderr, "connection %d failed: %s\n", attempt, e.what());
            if (attempt == attempts) throw;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
}

// Live playlists (written as segments finish) of 2-second segments; the frame rate (0) is
// measured from the first two capture times.
std::shared_ptr<RuvarEduzid::IHlsWriter> CreateHlsWriter(const char* master, int width, int height) {
    RuvarEduzid::HlsWriterParams params(Common::StringUtility::StringToWstring(master), 0, 0,
                                        {[](const char* ts) { std::printf("segment %s\n", ts); }});
    RuvarEduzid::H264StreamConfig full{};
    full.width = width; full.height = height; full.crf = 23; full.level = RuvarEduzid::H264LevelNotSet;
    full.liveGeneration = true; full.segmentDuration = 2; full.gopsPerSegment = 1;
    RuvarEduzid::H264StreamConfig half = full;
    half.width = (width / 2) & ~1; half.height = (height / 2) & ~1; half.crf = 28;
    params.streams = {full, half};
    return RuvarEduzid::VideoWriterFactory::CreateHlsWriter(params);
}

int main(int argc, char** argv) try {
    if (argc < 3) return std::fprintf(stderr, "usage: CameraToHls URL MASTER.m3u8 [FRAMES]\n"), 2;
    const long maxFrames = argc > 3 ? std::atol(argv[3]) : 0;
    Native::VideoFileInfo info(Common::StringUtility::StringToWstring(argv[1]));
    info.decoderId = RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    std::unique_ptr<Native::IFrameDecoder> decoder = Connect(info, 5);
    std::shared_ptr<RuvarEduzid::IHlsWriter> writer;  // made at the first frame, which tells the size

    long frames = 0;
    int idleMs = 0, reconnects = 0;
    while (maxFrames == 0 || frames < maxFrames) {
        std::shared_ptr<Native::IDecodedFrame> frame = decoder->GetNextFrame();
        const Native::DecoderState state = frame->GetDecoderState();
        if (state == Native::Ok) {
            idleMs = 0;
            std::printf("frame %ld %s\n", ++frames, Common::DateTime(frame->GetFileTimeUtc()).toString().c_str());
            if (!writer) writer = CreateHlsWriter(argv[2], frame->Width(), frame->Height());
            writer->WriteFrame(frame);
        } else if (state == Native::NotAvailable && idleMs < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nothing yet: wait, ask again
            idleMs += 20;
        } else {  // Error, EndOfArchive or a long silence: the connection is lost
            if (++reconnects > 5) return std::fprintf(stderr, "giving up after 5 reconnections\n"), 1;
            decoder.reset();
            decoder = Connect(info, 5);
            idleMs = 0;
        }
    }
    writer.reset();  // finishes the segments and the playlists
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
}
