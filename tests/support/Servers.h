#pragma once

// The servers of the tests, all on 127.0.0.1, all ending by themselves: GStreamer's RTSP server (the
// real peer), the scriptable RTSP server that stands in for video-management systems and
// misbehaving cameras (tests/vms/vms_rtsp_server.py), and a one-file HTTP server.

#include <json/json.h>

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace RuvarTest {

// A server process: started with a shell command whose first line of output names its port.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int Port() const { return m_port; }
    // Ends the process: politely, or at once with SIGKILL as a crash would (no goodbye).
    void Stop();
    void Kill();

protected:
    // False (and Port() 0) when the process did not name a port within 20 s.
    bool Start(const std::string& command);

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// GStreamer's RTSP server serving `launch` at "/test"; `extraArgs` e.g. "--auth digest
// --user u --password p" or "--protocols udp".
class GstServer : public ServerProcess {
public:
    explicit GstServer(const std::string& launch, const std::string& extraArgs = "", double maxSeconds = 60);
    std::string Url(const std::string& credentials = "") const;
};

// The launch line of GStreamer's server for a Matroska H.264 file.
std::string GstFileLaunch(const std::string& mkv);
// A camera that never stops: GStreamer's test pattern, encoded as it plays.
std::string GstLiveLaunch();

// A one-file HTTP server with byte ranges. After `stallAfter` body bytes of a response it stops
// sending and keeps the connection open; with 0 it accepts and never answers.
class HttpServer {
public:
    explicit HttpServer(std::string body, size_t stallAfter = SIZE_MAX);
    ~HttpServer();
    std::string Url(const std::string& name) const;
    int Port() const { return m_port; }

private:
    void Serve(int client);
    std::string m_body;
    size_t m_stallAfter;
    int m_listen = -1;
    int m_port = 0;
    std::vector<int> m_clients;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace RuvarTest
