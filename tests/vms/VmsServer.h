#pragma once

// Runs tests/vms/vms_rtsp_server.py, the scriptable RTSP server that stands in for a
// video-management system, on 127.0.0.1 for the life of the object.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace RuvarTest {

// The H.264 stream served: 50 frames, 160x120, 25 fps, a key frame every 10, no B-frames, access
// unit delimiters (the server splits frames on them) and parameter sets before each key frame.
inline std::string VmsFixture() {
    return MakeFixture("vms_160x120.h264",
                       "-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 50 -c:v libx264 -g 10 -bf 0 "
                       "-pix_fmt yuv420p -x264-params aud=1:repeat-headers=1:sliced-threads=0 -threads 1 -f h264");
}

class VmsServer {
public:
    // `configJson`: the server's --config object (frames, ts0, step, pace_ms, lifetime,
    // sender_report {ntp, frame, every}, dvtel {base, step}, get_parameter {silent, silent_first,
    // headers, body}).
    explicit VmsServer(const std::string& configJson) {
        static std::atomic<int> servers{0};
        m_statsPath = TempDir("vms_stats" + std::to_string(servers++)) + "/stats.json";
        std::string script = std::string(RUVAR_SOURCE_DIR) + "/tests/vms/vms_rtsp_server.py";
        std::string fixture = VmsFixture();
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl("/usr/bin/python3", "python3", script.c_str(), "--h264", fixture.c_str(), "--config",
                  configJson.c_str(), "--stats", m_statsPath.c_str(), static_cast<char*>(nullptr));
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
    // The request counts of the sessions so far, as JSON written by the server.
    std::string Stats() const { return ReadFile(m_statsPath); }

private:
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
