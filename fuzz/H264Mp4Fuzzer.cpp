// ConvertH264_MP4 fed arbitrary bytes in place of a raw H.264 clip.
#include "FuzzSupport.h"

#include "Common/Exception.h"
#include "Common/MemoryStream.h"
#include "RuvarEduzid/H264_MP4Convertor.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    auto input = std::make_shared<Halvora::IO::MemoryOutputStream>();
    if (size) input->Write(data, size);
    auto output = std::make_shared<Halvora::IO::MemoryOutputStream>();
    try {
        Halvora::RuvarEduzid::ConvertH264_MP4(input, output, 25.0f, cv::Size(0, 0));
    } catch (const Halvora::Common::CodeErrorException&) {
        // bad input gets a clear error
    }
    return 0;
}
