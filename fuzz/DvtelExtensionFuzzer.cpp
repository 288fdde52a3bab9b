// A whole RTP packet as a Dvtel server may send it, read for the time in its header extension.
#include "FuzzSupport.h"

#include "RuvarEduzid/DvtelWebStreamFfmpegDecoder.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using Halvora::RuvarEduzid::DvtelWebStreamFfmpegDecoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    if (size > 65535) return 0;
    // An exact-size copy, so that any read past the packet is caught.
    std::vector<uint8_t> packet(data, data + size);
    uint64_t destination = 0x5A5A5A5A5A5A5A5AULL;
    uint64_t found = DvtelWebStreamFfmpegDecoder::ReadRtpExtension(packet.empty() ? nullptr : packet.data(),
                                                                static_cast<int>(packet.size()), &destination);
    if (found != 0 && found != 1) std::abort();
    if (!found && destination != 0x5A5A5A5A5A5A5A5AULL) std::abort();  // untouched when nothing is found
    if (found) (void)DvtelWebStreamFfmpegDecoder::FileTime(destination);
    return 0;
}
