#pragma once

#include "Common/DateTime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <memory>
#include <string>
#include <vector>

namespace Halvora {
namespace Video {
namespace Native {

// Describes one source. Note the order: height before width.
struct VideoFileInfo {
    int kind = 0;
    std::wstring path;
    Halvora::Common::DateTime startTime;  // empty unless the host knows the first frame's UTC time
    boost::posix_time::time_duration duration = boost::posix_time::time_duration(0, 0, 0);
    boost::uuids::uuid decoderId{};
    std::wstring extraInfo;
    int height = 0;
    int width = 0;
    float fps = 0.0f;
    int reservedValue = 0;
    int codecId = 0;

    VideoFileInfo() = default;
    explicit VideoFileInfo(std::wstring p) : path(std::move(p)) {}
};

struct VideoFileInfoResult {
    std::vector<std::shared_ptr<VideoFileInfo>> infos;
    int status = 0;
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
