#include "support/RtspTestServer.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace RuvarTest {

namespace {
int g_serverCount = 0;
}

RtspTestServer::~RtspTestServer() { Stop(); }

void RtspTestServer::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

void RtspTestServer::Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool RtspTestServer::Start(const std::string& command) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pid = pid;
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c;
        ssize_t n = ::read(fds[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n') break;
        line.push_back(c);
    }
    ::close(fds[0]);
    m_port = std::atoi(line.c_str());
    if (m_port <= 0) {
        Stop();
        return false;
    }
    return true;
}

bool RtspTestServer::StartGStreamer(const std::string& launch, const std::string& extraArgs, double maxSeconds) {
    std::ostringstream cmd;
    cmd << "/usr/bin/python3 " << Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/rtsp/gst_rtsp_server.py")
        << " --launch " << Quote(launch) << " --max-seconds " << maxSeconds << " " << extraArgs << " 2>/dev/null";
    return Start(cmd.str());
}

bool RtspTestServer::StartScripted(const std::string& h264File, const std::string& extraArgs, double maxSeconds) {
    m_logPath = std::string(RUVAR_BINARY_DIR) + "/tmp/rtsp-server-" + std::to_string(::getpid()) + "-" +
                std::to_string(++g_serverCount) + ".log";
    RunCommand("mkdir -p " + Quote(std::string(RUVAR_BINARY_DIR) + "/tmp") + " && rm -f " + Quote(m_logPath));
    std::ostringstream cmd;
    cmd << "/usr/bin/python3 " << Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/rtsp/rtsp_test_server.py")
        << " --h264 " << Quote(h264File) << " --log " << Quote(m_logPath) << " --max-seconds " << maxSeconds << " "
        << extraArgs;
    return Start(cmd.str());
}

std::string RtspTestServer::Url(const std::string& path, const std::string& credentials) const {
    return "rtsp://" + (credentials.empty() ? std::string() : credentials + "@") + "127.0.0.1:" +
           std::to_string(m_port) + path;
}

std::string RtspTestServer::LogText() const {
    std::ifstream in(m_logPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool RtspTestServer::WaitForLog(const std::string& text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (LogText().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return LogText().find(text) != std::string::npos;
}

std::string RtspTestServer::H264Fixture() {
    return MakeFixture("rtsp_source.h264",
                       "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 50 -c:v libx264 -g 25 -bf 0 "
                       "-pix_fmt yuv420p -x264-params slices=1 -f h264");
}

std::string RtspTestServer::BigH264Fixture() {
    return MakeFixture("rtsp_source_big.h264",
                       "-f lavfi -i testsrc2=size=640x480:rate=25 -frames:v 25 -c:v libx264 -g 25 -bf 0 -qp 8 "
                       "-pix_fmt yuv420p -x264-params slices=1 -f h264");
}

std::string RtspTestServer::MatroskaFixture() {
    return MakeFixture("rtsp_source.mkv",
                       "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 50 -c:v libx264 -g 25 -bf 0 "
                       "-pix_fmt yuv420p");
}

}  // namespace RuvarTest
