#include "support/Servers.h"

#include "support/Support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace RuvarTest {

bool ServerProcess::Start(const std::string& command) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c;
        if (::read(fds[0], &c, 1) <= 0) break;
        line.push_back(c);
    }
    ::close(fds[0]);
    m_port = std::atoi(line.c_str() + (line.rfind("PORT ", 0) == 0 ? 5 : 0));
    if (m_port <= 0) Kill();
    return m_port > 0;
}

void ServerProcess::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!WaitUntil([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5)) Kill();
    m_pid = -1;
}

void ServerProcess::Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

GstServer::GstServer(const std::string& launch, const std::string& extraArgs, double maxSeconds) {
    Start("/usr/bin/python3 " + Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/rtsp/gst_rtsp_server.py") + " --launch " +
          Quote(launch) + " --max-seconds " + std::to_string(maxSeconds) + " " + extraArgs + " 2>/dev/null");
}

std::string GstServer::Url(const std::string& credentials) const {
    return "rtsp://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" + std::to_string(Port()) + "/test";
}

std::string GstFileLaunch(const std::string& mkv) {
    return "( filesrc location=" + mkv + " ! matroskademux ! h264parse ! rtph264pay name=pay0 pt=96 )";
}

std::string GstLiveLaunch() {
    return "( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=25/1 ! "
           "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! rtph264pay name=pay0 pt=96 )";
}

// ---- HTTP -------------------------------------------------------------------------------------------

HttpServer::HttpServer(std::string body, size_t stallAfter) : m_body(std::move(body)), m_stallAfter(stallAfter) {
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(m_listen, 8) == 0 &&
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
        // Bounded: the server stops by itself after 120 s.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!m_stop && std::chrono::steady_clock::now() < end) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0) continue;
            m_clients.push_back(client);
            Serve(client);
        }
    });
}

HttpServer::~HttpServer() {
    m_stop = true;
    m_thread.join();
    for (int fd : m_clients) ::close(fd);
    ::close(m_listen);
}

std::string HttpServer::Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
}

void HttpServer::Serve(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && !m_stop) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        request.append(buffer, static_cast<size_t>(n));
    }
    if (m_stallAfter == 0) return;  // accepted, never answered
    const size_t range = request.find("Range: bytes=");
    const size_t from = range == std::string::npos ? 0 : std::min(std::stoul(request.substr(range + 13)), m_body.size());
    std::string out = range == std::string::npos ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 206 Partial Content\r\n";
    out += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(m_body.size() - from) +
           "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n";
    if (range != std::string::npos)
        out += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(m_body.size() - 1) + "/" +
               std::to_string(m_body.size()) + "\r\n";
    const size_t stop = m_stallAfter == SIZE_MAX ? m_body.size() : std::min(m_body.size(), from + m_stallAfter);
    out += "\r\n" + m_body.substr(from, stop - from);
    for (size_t at = 0; at < out.size() && !m_stop;) {
        const ssize_t n = ::send(client, out.data() + at, out.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
    if (stop == m_body.size()) ::shutdown(client, SHUT_WR);  // otherwise it stalls with the connection open
}

}  // namespace RuvarTest
