#pragma once

// Runs tests/vms/vms_rtsp_server.py, the scriptable RTSP server that stands in for a
// video-management system, on 127.0.0.1 for the life of the object.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>
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
// access unit delimiter), the presentation index of each access unit (a text file, one integer per
// line in file order; 0 is the first picture shown) and the number of pictures.
struct VmsMedia {
    std::string h264;
    std::string pts;
    int frames = 0;
};

// The presentation indices of a VmsMedia::pts file, in decode order.
inline std::vector<int> ReadPresentationIndices(const std::string& path) {
    std::vector<int> indices;
    std::istringstream in(ReadFile(path));
    int value = 0;
    while (in >> value) indices.push_back(value);
    return indices;
}

// 70 frames, 160x120, 25 fps, a key frame every 25 (closed groups of pictures, no scene-cut key
// frames), access unit delimiters and parameter sets before each key frame. With `bframes`, two
// B-frames between reference frames throughout (decode order I0 P3 B1 B2 P6 B4 B5 ...); without,
// decode order is presentation order. Encoded into MPEG-TS, whose packet times give the
// presentation indices, and copied out as Annex B. FrameMd5(h264) gives the pictures in
// presentation order.
inline VmsMedia VmsFixture70(bool bframes) {
    constexpr int kFrames = 70;
    const std::string name = bframes ? "vms70_bf2_160x120" : "vms70_160x120";
    const std::string ts = MakeFixture(
        name + ".ts", std::string("-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 70 -c:v libx264 -g 25 ") +
                          "-keyint_min 25 -sc_threshold 0 -bf " + (bframes ? "2" : "0") +
                          " -pix_fmt yuv420p -x264-params aud=1:repeat-headers=1:sliced-threads=0" +
                          (bframes ? ":b-adapt=0" : "") + " -threads 1 -f mpegts");
    VmsMedia media;
    media.h264 = MakeFixture(name + ".h264", "-i " + Quote(ts) + " -map 0:v:0 -c copy -f h264");
    media.pts = std::string(RUVAR_FIXTURE_DIR) + "/" + name + ".pts";
    media.frames = kFrames;
    struct stat st {};
    if (::stat(media.pts.c_str(), &st) == 0 && st.st_size > 0) return media;

    // The packets' presentation times in decode order, ranked.
    std::string out;
    if (RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 " + Quote(ts), &out) != 0)
        throw std::runtime_error("ffprobe failed on " + ts);
    std::vector<long long> times;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] < '0' || line[0] > '9') continue;
        times.push_back(std::stoll(line));
    }
    std::vector<long long> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    if (times.size() != static_cast<size_t>(kFrames) || std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        throw std::runtime_error(ts + ": " + std::to_string(times.size()) + " packets with distinct times, not " +
                                 std::to_string(kFrames));
    std::string text;
    for (long long t : times)
        text += std::to_string(std::lower_bound(sorted.begin(), sorted.end(), t) - sorted.begin()) + "\n";
    // Written under a temporary name, then renamed, as MakeFixture does.
    const std::string tmp = media.pts + ".tmp." + std::to_string(::getpid());
    WriteFile(tmp, text);
    if (std::rename(tmp.c_str(), media.pts.c_str()) != 0) throw std::runtime_error("rename failed for " + media.pts);
    return media;
}

class VmsServer {
public:
    // `configJson`: the server's --config object (frames, ts0, step, ssrc, pace_ms, lifetime,
    // transports, sender_report {ntp, frame, every}, dvtel {base, step}, bye, bye_delay_ms,
    // get_parameter {silent, silent_first, headers, body, next_frame_range {base_us, us_per_frame},
    // delay_ms}, udp_gap_ms; see tests/vms/vms_rtsp_server.py). Serves VmsFixture().
    explicit VmsServer(const std::string& configJson) { Start(configJson, VmsFixture(), ""); }
    // Serves `media` (VmsFixture70), its access units timed by their presentation indices.
    VmsServer(const std::string& configJson, const VmsMedia& media) { Start(configJson, media.h264, media.pts); }

    ~VmsServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }

    VmsServer(const VmsServer&) = delete;
    VmsServer& operator=(const VmsServer&) = delete;

    int Port() const { return m_port; }
    std::wstring Url(const std::string& credentials = "") const {
        std::string url = "rtsp://" + credentials + "127.0.0.1:" + std::to_string(m_port) + "/vms/stream";
        return std::wstring(url.begin(), url.end());
    }
    // The sessions so far, as JSON written by the server: one object per session with methods,
    // get_parameter, frames_sent, named_frames, transport and bye_sent.
    std::string Stats() const { return ReadFile(m_statsPath); }

private:
    void Start(const std::string& configJson, const std::string& h264, const std::string& pts) {
        static std::atomic<int> servers{0};
        m_statsPath = TempDir("vms_stats" + std::to_string(servers++)) + "/stats.json";
        std::string script = std::string(RUVAR_SOURCE_DIR) + "/tests/vms/vms_rtsp_server.py";
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            if (pts.empty())
                execl("/usr/bin/python3", "python3", script.c_str(), "--h264", h264.c_str(), "--config",
                      configJson.c_str(), "--stats", m_statsPath.c_str(), static_cast<char*>(nullptr));
            else
                execl("/usr/bin/python3", "python3", script.c_str(), "--h264", h264.c_str(), "--pts", pts.c_str(),
                      "--config", configJson.c_str(), "--stats", m_statsPath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buf[64];
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        if (line.rfind("PORT ", 0) == 0) m_port = std::stoi(line.substr(5));
    }

    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_statsPath;
};

}  // namespace RuvarTest

#include "Rtsp/RtspExtensions.h"
#include "RuvarEduzid/FFMpegDecoder.h"

namespace RuvarTest {

// Whether the decoder opens "rtsp://" addresses through the library's RTSP session layer (the
// vendor time rules need its GET_PARAMETER, range start, flush and packet callback). Probed once
// per process against a server of its own.
inline bool RtspLayerWired() {
    static const bool wired = [] {
        VmsServer server(R"({"frames": 60, "pace_ms": 10, "ts0": 1000, "lifetime": 20})");
        if (server.Port() <= 0) return false;
        Halvora::RuvarEduzid::FFMpegDecoder probe;
        Halvora::Video::Native::VideoFileInfo info(server.Url());
        if (!probe.Initialize(info, nullptr)) return false;
        return rtsp_stream_count(probe.getFormatCtx()) > 0;
    }();
    return wired;
}

}  // namespace RuvarTest

// Vendor time rules need the library's RTSP layer under the decoder.
#define RUVAR_REQUIRE_RTSP_LAYER()                                                                     \
    do {                                                                                               \
        if (!::RuvarTest::RtspLayerWired())                                                            \
            GTEST_SKIP() << "rtsp:// addresses do not open through the library's RTSP layer in this build"; \
    } while (0)
