#pragma once

#include "RuvarEduzid/Export.h"

#include <string>

namespace Halvora {
namespace RuvarEduzid {

// The settings file "RuvarEduzid.ini", read once per process by the first decoder.
class RUVAREDUZID_API RuvarEduzidSettings {
public:
    struct Values {
        int connectionTimeoutMs = 30000;  // [Rtsp] RtspConnectionTimeout
        int getNextTimeoutMs = 5000;      // [Rtsp] RtspGetNextTimeout
        int rtspTransport = 0;            // [Rtsp] RtspTransport
        int decoderSurfaces = -1;         // [FFMpeg] DecoderSurfaces
        int ffmpegLogLevel = 8;           // [FFMpeg] LogLevel
        int liveBufferSizeMB = 50;        // [FFMpeg] LiveDecoderBufferSizeMB
        int decoderThreads = 1;           // [FFMpeg] DecoderThreads (0: FFmpeg picks from the cores)
    };

    // Loads the file once per process; later calls return at once. The file lies next to the
    // running executable, or where the environment variable RUVAREDUZID_INI points.
    static void Load();

    static int GetConnectionTimeout();
    static int GetGetNextTimeout();
    static int GetRtspTransport();
    static int GetDecoderSurfaces();
    static int GetFFmpegLogLevel();
    static int GetLiveBufferSizeMB();
    static int GetDecoderThreads();
    static std::wstring GetFilePath();
    static bool IsLoaded();

    // Reads the values of one file over the defaults, logging each change (used by Load).
    static Values ReadFile(const std::wstring& path);
};

}  // namespace RuvarEduzid
}  // namespace Halvora
