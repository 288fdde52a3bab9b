// Probes a video file through the installed library and prints what it found.
#include <RuvarEduzid/DecoderUtils.h>
#include <RuvarEduzid/FFMpegGate.h>
#include <Common/StringUtility.h>

#include <iostream>

int main(int argc, char** argv) {
    using namespace Halvora::RuvarEduzid;
    if (argc < 2) return 2;
    auto result = DecoderUtils::GetVideoFileInfo(Halvora::Common::StringUtility::StringToWstring(argv[1]));
    const auto& info = *result.infos.at(0);
    std::cout << info.width << "x" << info.height << " " << info.fps << " level "
              << FFMpegGate::ToFFmpegString(H264Level41) << "\n";
    return info.decoderId == DecoderUtils::HalvoraFFmpegDecoderId ? 0 : 1;
}
