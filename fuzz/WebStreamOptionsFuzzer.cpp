// The JSON options text and the address of the URL-and-JSON web-stream entry.
#include "FuzzSupport.h"

#include "RuvarEduzid/WebStreamDetail.h"

#include <cstdlib>

namespace Detail = Halvora::RuvarEduzid::WebStreamDetail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    if (size < 1) return 0;
    // First byte: the GPU id (-1 when high bit set, so both the software and the GPU lists run).
    const int gpuId = (data[0] & 0x80) ? -1 : (data[0] & 0x7F);
    const std::wstring text = RuvarFuzz::AsWide(data + 1, size - 1);
    auto parameters = Detail::BuildParameters(gpuId, text);
    for (const auto& p : parameters)
        if (!p) std::abort();
    // The same text as an address in the entry's log line: credentials never show.
    std::string line = Detail::EntryLogLine(text, gpuId, "2026-01-01 00:00:00");
    (void)line;
    int32_t value = 0;
    Detail::ParseStrictInt32(RuvarFuzz::AsText(data + 1, size - 1), value);
    return 0;
}
