// A raw H.264 stream (Annex B, e.g. a clip from NvVideoWriter) wrapped into MP4 in memory,
// without re-encoding; the file is read and written here only to have something to show.
//   Usage: H264ToMp4 INPUT.h264 OUTPUT.mp4 FPS
#include <Common/MemoryStream.h>
#include <RuvarEduzid/H264_MP4Convertor.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace Halvora;

int main(int argc, char** argv) try {
    if (argc != 4) return std::fprintf(stderr, "usage: H264ToMp4 INPUT.h264 OUTPUT.mp4 FPS\n"), 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in || raw.empty()) return std::fprintf(stderr, "cannot read %s\n", argv[1]), 1;

    auto h264 = std::make_shared<IO::MemoryOutputStream>();
    h264->Write(raw.data(), raw.size());
    auto mp4 = std::make_shared<IO::MemoryOutputStream>();
    RuvarEduzid::ConvertH264_MP4(h264, mp4, std::strtof(argv[3], nullptr), cv::Size());  // packet n at n / fps

    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(mp4->GetBuffer()), static_cast<std::streamsize>(mp4->GetSize()));
    std::printf("%zu bytes of H.264, %zu bytes of MP4\n", raw.size(), mp4->GetSize());
    return out ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
}
