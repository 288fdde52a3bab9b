#include "Common/FileUtility.h"

#include "Common/StringUtility.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Halvora {
namespace Common {

namespace {
std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
}  // namespace

std::wstring FileUtility::GetModuleDir(const void* module) {
    if (module) {
        Dl_info info{};
        if (dladdr(module, &info) && info.dli_fname) return StringUtility::StringToWstring(DirectoryOf(info.dli_fname));
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return L".";
    buf[n] = '\0';
    return StringUtility::StringToWstring(DirectoryOf(buf));
}

std::wstring FileUtility::LocateFile(const std::wstring& name) { return name; }

bool FileUtility::FileExists(const std::wstring& path) {
    struct stat st {};
    return ::stat(StringUtility::WstringToString(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace Common
}  // namespace Halvora
