#include "RuvarEduzid/RuvarEduzidSettings.h"

#include "Common/FileUtility.h"
#include "Common/INIFileManager.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"

#include <cstdlib>
#include <mutex>

namespace Halvora {
namespace RuvarEduzid {

namespace {
std::once_flag g_loadOnce;
bool g_loaded = false;
RuvarEduzidSettings::Values g_values;
std::wstring g_filePath;

void ReadKey(const Common::INIFileManager& ini, const wchar_t* section, const wchar_t* key, int& field) {
    int before = field;
    ini.GetValue<int>(section, key, field);
    if (field != before)
        Common::Logger::ScopedLog(Common::LogInfo, nullptr, 0, nullptr).Stream()
            << L"Parameter value set from ini. " << section << L"_" << key << L" " << before << L" -> " << field;
}
}  // namespace

RuvarEduzidSettings::Values RuvarEduzidSettings::ReadFile(const std::wstring& path) {
    Values v;
    Common::INIFileManager ini(path);
    ReadKey(ini, L"Rtsp", L"RtspConnectionTimeout", v.connectionTimeoutMs);
    ReadKey(ini, L"Rtsp", L"RtspGetNextTimeout", v.getNextTimeoutMs);
    ReadKey(ini, L"Rtsp", L"RtspTransport", v.rtspTransport);
    ReadKey(ini, L"FFMpeg", L"DecoderSurfaces", v.decoderSurfaces);
    ReadKey(ini, L"FFMpeg", L"LogLevel", v.ffmpegLogLevel);
    ReadKey(ini, L"FFMpeg", L"LiveDecoderBufferSizeMB", v.liveBufferSizeMB);
    ReadKey(ini, L"FFMpeg", L"DecoderThreads", v.decoderThreads);
    return v;
}

void RuvarEduzidSettings::Load() {
    std::call_once(g_loadOnce, [] {
        g_loaded = true;
        const char* env = std::getenv("RUVAREDUZID_INI");
        if (env && *env)
            g_filePath = Common::StringUtility::StringToWstring(env);
        else
            g_filePath = Common::FileUtility::GetModuleDir(nullptr) + L"/" +
                         Common::FileUtility::LocateFile(L"RuvarEduzid.ini");
        g_values = ReadFile(g_filePath);
    });
}

int RuvarEduzidSettings::GetConnectionTimeout() { return g_values.connectionTimeoutMs; }
int RuvarEduzidSettings::GetGetNextTimeout() { return g_values.getNextTimeoutMs; }
int RuvarEduzidSettings::GetRtspTransport() { return g_values.rtspTransport; }
int RuvarEduzidSettings::GetDecoderSurfaces() { return g_values.decoderSurfaces; }
int RuvarEduzidSettings::GetFFmpegLogLevel() { return g_values.ffmpegLogLevel; }
int RuvarEduzidSettings::GetLiveBufferSizeMB() { return g_values.liveBufferSizeMB; }
int RuvarEduzidSettings::GetDecoderThreads() { return g_values.decoderThreads; }
std::wstring RuvarEduzidSettings::GetFilePath() { return g_filePath; }
bool RuvarEduzidSettings::IsLoaded() { return g_loaded; }

}  // namespace RuvarEduzid
}  // namespace Halvora
