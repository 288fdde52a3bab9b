#pragma once

#include "Common/Export.h"

#include <string>

namespace Halvora {
namespace Common {

class HALVORA_COMMON_API FileUtility {
public:
    // Directory of a module; a null module means the running executable.
    static std::wstring GetModuleDir(const void* module);
    // Name of a file as found next to the module (the name itself).
    static std::wstring LocateFile(const std::wstring& name);
    static bool FileExists(const std::wstring& path);
};

}  // namespace Common
}  // namespace Halvora
