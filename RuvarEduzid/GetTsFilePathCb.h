#pragma once

// Notification of a finished MPEG-TS segment: `callback` receives the segment's full path
// (UTF-8). A null callback means no notifications.

namespace Halvora {
namespace RuvarEduzid {

struct GetTsFilePathCb {
    void (*callback)(const char* tsFilePath);
};

}  // namespace RuvarEduzid
}  // namespace Halvora
