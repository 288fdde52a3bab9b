// Stream addresses as hosts configure them: parsing, percent-decoding and masking for the log.
#include "FuzzSupport.h"

#include "Common/StringUtility.h"
#include "Rtsp/RtspUrl.h"

#include <cstdlib>

using namespace Halvora::RuvarEduzid::Rtsp;
using Halvora::Common::StringUtility;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    const std::string text = RuvarFuzz::AsText(data, size);
    RtspUrl url;
    if (url.Parse(text)) {
        (void)url.WithoutCredentials();
        (void)RtspUrl::ResolveControl(url.WithoutCredentials(), "trackID=1");
        // Masking for the log takes whatever the address holds.
        const std::wstring masked = StringUtility::HideRtspPassword(RuvarFuzz::AsWide(data, size));
        (void)masked;
    }
    (void)RtspUrl::PercentDecode(text);
    (void)StringUtility::HideRtspCreds(RuvarFuzz::AsWide(data, size));
    return 0;
}
