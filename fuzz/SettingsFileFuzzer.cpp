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
    unsigned short narrow = 0;
    manager.GetValue<unsigned short>(L"ffmpeg", L"decodersurfaces", narrow);
    std::string any;
    manager.GetValue<std::string>(L"", L"", any);
    return 0;
}
