// A GET_PARAMETER reply of a SeeTec server, read for its time and RTP timestamp.
#include "FuzzSupport.h"

#include "RuvarEduzid/SeeTecWebStreamFfmpegDecoder.h"

#include <stdexcept>

using Halvora::RuvarEduzid::SeeTecWebStreamFfmpegDecoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    const std::string reply = RuvarFuzz::AsText(data, size);  // up to the first NUL, as the C string is read
    uint32_t lastRtp = 0;
    try {
        uint64_t ms = SeeTecWebStreamFfmpegDecoder::ParseReply(reply.c_str(), lastRtp);
        if (ms != SeeTecWebStreamFfmpegDecoder::NoTimestamp) (void)SeeTecWebStreamFfmpegDecoder::FileTime(ms, lastRtp, lastRtp + 9000);
    } catch (const std::invalid_argument&) {
        // an empty number: the documented failure
    } catch (const std::out_of_range&) {
        // a number beyond 64 bits: the documented failure
    }
    return 0;
}
