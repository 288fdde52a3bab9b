#pragma once

// Notification of a finished MPEG-TS segment: `callback` receives the segment's full path
// (UTF-8). A null callback means no notifications.

namespace Halvora {
namespace RuvarEduzid {

struct GetTsFilePathCb {
    void (*callback)(const char* tsFilePath);
};
static_assert(sizeof(GetTsFilePathCb) == sizeof(void*), "passed by value as one plain function pointer");

}  // namespace RuvarEduzid
}  // namespace Halvora
