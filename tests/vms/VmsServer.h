#pragma once

// The scriptable RTSP server of tests/vms/vms_rtsp_server.py, on 127.0.0.1 for the life of the
// object: it stands in for the video-management systems and for cameras that misbehave.

#include "support/Servers.h"
#include "support/Support.h"

#include <json/json.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

namespace RuvarTest {

// The H.264 stream served by default: 50 frames, 160x120, 25 fps, a key frame every 10, no B-frames, access
// unit delimiters (the server splits frames on them) and parameter sets before each key frame.
inline std::string VmsFixture() {
    return MakeFixture("vms_160x120.h264",
                       "-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 50 -c:v libx264 -g 10 -bf 0 "
                       "-pix_fmt yuv420p -x264-params aud=1:repeat-headers=1:sliced-threads=0 -threads 1 -f h264");
}

// A stream for VmsServer: the Annex B file (access units in decode order, each starting with an
// access unit delimiter), FFmpeg's framecrc of it copied (the packets' presentation times in decode
// order) and the number of pictures.
struct VmsMedia {
    std::string h264;
    std::string pts;
    int frames = 0;
};

// 70 frames, 160x120, 25 fps, a key frame every 25 (closed groups of pictures, no scene-cut key
// frames). With `bframes`, two B-frames between reference frames (decode order I0 P3 B1 B2 ...).
// Encoded into MPEG-TS, whose packet times give the presentation order, and copied out as Annex B.
// FrameMd5(h264) gives the pictures in presentation order.
inline VmsMedia VmsFixture70(bool bframes) {
    const std::string name = bframes ? "vms70_bf2_160x120" : "vms70_160x120";
    const std::string ts = MakeFixture(
        name + ".ts", std::string("-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 70 -c:v libx264 -g 25 ") +
                          "-keyint_min 25 -sc_threshold 0 -bf " + (bframes ? "2" : "0") +
                          " -pix_fmt yuv420p -x264-params aud=1:repeat-headers=1:sliced-threads=0" +
                          (bframes ? ":b-adapt=0" : "") + " -threads 1 -f mpegts");
    const std::string copy = "-i " + Quote(ts) + " -map 0:v:0 -c copy -f ";
    return {MakeFixture(name + ".h264", copy + "h264"), MakeFixture(name + ".crc", copy + "framecrc"), 70};
}

class VmsServer : public ServerProcess {
public:
    // `configJson`: the server's --config object (see tests/vms/vms_rtsp_server.py). Serves
    // VmsFixture(), or `media` with its presentation times.
    explicit VmsServer(const std::string& configJson) { Run(configJson, VmsFixture(), ""); }
    VmsServer(const std::string& configJson, const VmsMedia& media) { Run(configJson, media.h264, media.pts); }

    std::wstring Url(const std::string& credentials = "") const { return W(UrlText(credentials)); }
    std::string UrlText(const std::string& credentials = "") const {
        return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(Port()) + "/vms/stream";
    }
    // The sessions so far, as JSON written by the server: one object per session (see its --stats).
    std::string Stats() const { return ReadFile(m_statsPath); }
    // The latest session (null before the first).
    Json::Value Session() const {
        Json::Value all;
        if (!Json::Reader().parse(Stats(), all, false) || !all.isArray() || all.empty()) return Json::Value();
        return all[all.size() - 1];
    }
    // Waits (bounded) until the latest session's `key` reaches `value` (numbers) or is true.
    bool WaitFor(const std::string& key, int value = 1, double seconds = 60) const {
        return WaitUntil([&] { return Session()[key].asInt() >= value; }, seconds);
    }

private:
    void Run(const std::string& configJson, const std::string& h264, const std::string& pts) {
        static std::atomic<int> servers{0};
        m_statsPath = TempDir("vms_stats" + std::to_string(servers++)) + "/stats.json";
        Start("/usr/bin/python3 " + Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/vms/vms_rtsp_server.py") +
              " --h264 " + Quote(h264) + (pts.empty() ? "" : " --pts " + Quote(pts)) + " --config " +
              Quote(configJson) + " --stats " + Quote(m_statsPath));
    }

    std::string m_statsPath;
};

}  // namespace RuvarTest
