// Probes a video file through the installed library and prints what it found.
#include <Common/StringUtility.h>
#include <RuvarEduzid/DecoderUtils.h>
#include <RuvarEduzid/FFMpegGate.h>
#include <RuvarEduzid/Version.h>

#include <cstring>
#include <iostream>

static_assert(__cplusplus >= 202002L, "the consumer builds with C++20: the package must not choose its standard");

int main(int argc, char** argv) {
    using namespace Halvora::RuvarEduzid;
    if (argc < 2) return 2;
    auto result = DecoderUtils::GetVideoFileInfo(Halvora::Common::StringUtility::StringToWstring(argv[1]));
    const auto& info = *result.infos.at(0);
    std::cout << "version " << RuvarEduzid_GetVersion() << "\n"
              << info.width << "x" << info.height << " " << info.fps << " level "
              << FFMpegGate::ToFFmpegString(H264Level41) << "\n";
    const bool sameVersion = std::strcmp(RuvarEduzid_GetVersion(), HeaderVersion) == 0;
    return info.decoderId == DecoderUtils::HalvoraFFmpegDecoderId && sameVersion ? 0 : 1;
}
