// The settings file "RuvarEduzid.ini" as an installation may leave it: any bytes.
#include "FuzzSupport.h"

#include "Common/INIFileManager.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/RuvarEduzidSettings.h"

#include <cstdlib>

using Halvora::Common::INIFileManager;
using Halvora::RuvarEduzid::RuvarEduzidSettings;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    const std::wstring path = Halvora::Common::StringUtility::StringToWstring(RuvarFuzz::WriteInputFile(data, size));

    // The six typed values over their defaults, as the first decoder reads them.
    RuvarEduzidSettings::Values values = RuvarEduzidSettings::ReadFile(path);
    (void)values;

    // The raw reader with names that the file itself may contain in any case and spacing.
    INIFileManager manager(path);
    std::wstring text = INIFileManager::GetIniValue(L"Rtsp", L"RtspTransport", path);
    if (text.size() > size * 4 + 4) std::abort();  // a value is never longer than the file
    long long wide = 0;
    manager.GetValue<long long>(L"FFMpeg", L"LogLevel", wide);
    // Narrow unsigned types are left out: the library reads only int and wider values, and
    // Boost's own converter for them multiplies in int (an overflow UBSan reports inside Boost).
    int surfaces = 0;
    manager.GetValue<int>(L"ffmpeg", L"decodersurfaces", surfaces);
    std::string any;
    manager.GetValue<std::string>(L"", L"", any);
    return 0;
}
