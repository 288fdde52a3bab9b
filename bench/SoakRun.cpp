// Decodes and writes in a loop for a chosen time and prints the process's resident memory and
// open file descriptors at intervals, so that growth shows. Each round decodes the file from its
// path into an MP4 file and a two-rendition HLS presentation, then decodes the same bytes through
// the live buffer. Built and run by scripts/soak.sh.
//   RuvarSoak SECONDS INTERVAL_SECONDS INPUT_FILE WORK_DIR
#include "Common/DateTime.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/FFMpegDecoder.h"
#include "RuvarEduzid/GenericVideoWriter.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/VideoWriterFactory.h"

#include <atomic>
#include <filesystem>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::StringUtility;

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int OpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - 1;  // the directory stream itself
}

std::atomic<size_t> g_segments{0};
void OnSegment(const char*) { ++g_segments; }

H264StreamConfig Rendition(int width, int height) {
    H264StreamConfig c{};
    c.width = width;
    c.height = height;
    c.crf = 23;
    c.profile = H264ProfileNotSet;
    c.level = H264LevelNotSet;
    c.segmentDuration = 1;
    c.gopsPerSegment = 1;
    return c;
}

// One file decoded from its path, every frame written into a new MP4 file and a new HLS
// presentation (full size and half size) under `hlsDir`.
size_t DecodeAndWrite(const std::string& input, const std::string& output, const std::string& hlsDir) {
    FFMpegDecoder decoder;
    VideoFileInfo info(StringUtility::StringToWstring(input));
    info.decoderId = DecoderUtils::HalvoraFFmpegDecoderId;
    if (!decoder.Initialize(info, nullptr)) return 0;
    size_t frames = 0;
    std::unique_ptr<GenericVideoWriter> writer;
    std::shared_ptr<IHlsWriter> hls;
    for (;;) {
        auto frame = decoder.GetNextFrame();
        if (!frame || frame->GetDecoderState() != DecoderState::Ok) break;
        if (!writer) {
            writer = std::make_unique<GenericVideoWriter>(StringUtility::StringToWstring(output), frame->Width(),
                                                          frame->Height(), 2500);
            std::filesystem::create_directories(hlsDir);
            HlsWriterParams params(StringUtility::StringToWstring(hlsDir + "/master.m3u8"), 4.0, 25.0,
                                   GetTsFilePathCb{&OnSegment});
            params.streams.push_back(Rendition(frame->Width(), frame->Height()));
            params.streams.push_back(Rendition(frame->Width() / 2, frame->Height() / 2));
            hls = VideoWriterFactory::CreateHlsWriter(params);
        }
        writer->WriteFrame(frame);
        hls->WriteFrame(frame);
        ++frames;
    }
    return frames;
}

// The same file through the live buffer, in chunks of 4 KB.
size_t DecodeLive(const std::vector<unsigned char>& bytes) {
    FFMpegDecoder decoder;
    const size_t first = std::min<size_t>(bytes.size(), 64 * 1024);
    std::vector<unsigned char> head(bytes.begin(), bytes.begin() + first);
    if (!decoder.Initialize(head.data(), 64 * 1024, head.size(), true, nullptr)) return 0;
    size_t frames = 0, at = first;
    for (int guard = 0; guard < 1000000; ++guard) {
        auto frame = decoder.GetNextFrame();
        DecoderState state = frame ? frame->GetDecoderState() : DecoderState::Error;
        if (state == DecoderState::Ok) {
            ++frames;
        } else if (state == DecoderState::NotAvailable) {
            if (at < bytes.size()) {
                size_t n = std::min<size_t>(4096, bytes.size() - at);
                std::vector<unsigned char> chunk(bytes.begin() + at, bytes.begin() + at + n);
                decoder.AppendChunkToBuffer(chunk.data(), chunk.size());
                at += n;
            } else {
                decoder.AppendChunkToBuffer(nullptr, 0);
            }
        } else {
            break;
        }
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: RuvarSoak SECONDS INTERVAL_SECONDS INPUT_FILE WORK_DIR\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const double interval = std::atof(argv[2]);
    const std::string input = argv[3];
    const std::string output = std::string(argv[4]) + "/soak.mp4";
    const std::string hlsDir = std::string(argv[4]) + "/hls";
    std::ifstream in(input, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextReport = start;
    size_t rounds = 0, frames = 0;
    std::printf("%8s %8s %10s %10s %10s %6s\n", "seconds", "rounds", "frames", "segments", "rss_kb", "fds");
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (Clock::now() >= nextReport || elapsed >= seconds) {
            std::printf("%8.0f %8zu %10zu %10zu %10ld %6d\n", elapsed, rounds, frames, g_segments.load(), RssKb(),
                        OpenFds());
            std::fflush(stdout);
            nextReport += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
        }
        if (elapsed >= seconds) break;
        frames += DecodeAndWrite(input, output, hlsDir);
        frames += DecodeLive(bytes);
        std::remove(output.c_str());
        std::filesystem::remove_all(hlsDir);
        ++rounds;
    }
    return 0;
}
