#include "FuzzSupport.h"

#include "Common/StringUtility.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace RuvarFuzz {

void Initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Keep the logger's formatting and wide conversions in the run, but not the console.
        if (!std::getenv("RUVAREDUZID_LOG_FILE")) setenv("RUVAREDUZID_LOG_FILE", "/dev/null", 1);
        av_log_set_level(AV_LOG_QUIET);
    });
}

const std::string& WriteInputFile(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        static char pattern[] = "/tmp/ruvar-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        std::atexit([] {
            unlink((std::string(pattern) + "/input").c_str());
            rmdir(pattern);
        });
        return std::string(pattern) + "/input";
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

std::string AsText(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::wstring AsWide(const uint8_t* data, size_t size) {
    return Halvora::Common::StringUtility::StringToWstring(AsText(data, size));
}

}  // namespace RuvarFuzz
