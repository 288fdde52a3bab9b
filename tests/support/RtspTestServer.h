#pragma once

#include <string>
#include <sys/types.h>

namespace RuvarTest {

// A server process started by a test: GStreamer's RTSP server or the scriptable RTSP server of
// tests/rtsp. Both listen on 127.0.0.1 only, print their port first and stop by themselves; the
// object also ends the process (by its id) when it goes.
class RtspTestServer {
public:
    RtspTestServer() = default;
    ~RtspTestServer();
    RtspTestServer(const RtspTestServer&) = delete;
    RtspTestServer& operator=(const RtspTestServer&) = delete;

    // GStreamer's RTSP server with a launch line (mount "/test"); `extraArgs` e.g. "--auth digest".
    bool StartGStreamer(const std::string& launch, const std::string& extraArgs = "", double maxSeconds = 40);
    // The scriptable server streaming `h264File` (Annex B); `extraArgs` are its options. Its log of
    // requests goes to LogPath().
    bool StartScripted(const std::string& h264File, const std::string& extraArgs = "", double maxSeconds = 30);

    int Port() const { return m_port; }
    std::string Url(const std::string& path = "/test", const std::string& credentials = "") const;
    std::string LogPath() const { return m_logPath; }
    std::string LogText() const;
    // Waits (bounded) until the log holds `text`.
    bool WaitForLog(const std::string& text, int timeoutMs) const;
    void Stop();
    // Ends the process at once with SIGKILL, as a crash would: no reply, no goodbye; the kernel
    // closes its sockets. A server started again with "--port" and the old Port() takes its place.
    void Kill();

    // The H.264 fixtures the RTSP tests stream: 50 frames 320x240 at 25 fps, one slice per frame.
    static std::string H264Fixture();    // Annex B elementary stream
    static std::string MatroskaFixture();
    // A bigger stream (640x480, about 1 MB/s at 25 fps) for what needs traffic, e.g. receiver reports.
    static std::string BigH264Fixture();  // the same kind of stream in Matroska (for GStreamer)

private:
    bool Start(const std::string& command);

    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_logPath;
};

}  // namespace RuvarTest
