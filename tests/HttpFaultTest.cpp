// An HTTP source that stalls: the decoder returns the pictures it got, then reports the stall
// within its get-next time-out instead of waiting for ever.
#include "DecoderTestHelpers.h"

#include "RuvarEduzid/Native/DecoderParameter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace DecoderTest;

namespace {

// Serves one GET on 127.0.0.1: the headers announce the whole file, the body stops after
// `sendBytes`, and the connection then stays open and silent until Stop (at most 60 s).
class StallingHttpServer {
public:
    StallingHttpServer(std::string body, size_t sendBytes) : m_body(std::move(body)), m_sendBytes(sendBytes) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(m_listener, 4) == 0 &&
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StallingHttpServer() {
        Stop();
        m_thread.join();
        close(m_listener);
    }
    void Stop() { m_stop = true; }
    int Port() const { return m_port; }

private:
    void Serve() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pollfd p{m_listener, POLLIN, 0};
        while (!m_stop && std::chrono::steady_clock::now() < deadline && poll(&p, 1, 100) <= 0) {
        }
        if (m_stop || !(p.revents & POLLIN)) return;
        int fd = accept(m_listener, nullptr, nullptr);
        if (fd < 0) return;
        char request[4096];
        (void)recv(fd, request, sizeof request, 0);
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: " +
                           std::to_string(m_body.size()) + "\r\nConnection: close\r\n\r\n";
        std::string out = head + m_body.substr(0, m_sendBytes);
        for (size_t at = 0; at < out.size();) {
            ssize_t n = send(fd, out.data() + at, out.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        while (!m_stop && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(fd);
    }

    std::string m_body;
    size_t m_sendBytes;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string HttpTs() {
    return RuvarTest::MakeFixture("fault_http.ts", kTestSrc + "-t 4 -c:v libx264 -preset ultrafast -bf 0 -g 25 "
                                                             "-pix_fmt yuv420p -f mpegts");
}

}  // namespace

TEST(HttpFaults, StalledSourceEndsWithinTheGetNextTimeOut) {
    const std::string bytes = RuvarTest::ReadFile(HttpTs());
    StallingHttpServer server(bytes, bytes.size() / 2);
    ASSERT_GT(server.Port(), 0);

    FFMpegDecoder decoder;
    auto parameters = Params({std::make_shared<RtspConnectionTimeoutParameter>(5000),
                              std::make_shared<RtspGetFrameTimeoutParameter>(2000)});
    ASSERT_TRUE(decoder.Initialize(InfoFor("http://127.0.0.1:" + std::to_string(server.Port()) + "/live.ts"),
                                   &parameters));
    const auto start = std::chrono::steady_clock::now();
    size_t frames = 0;
    DecoderState end = Ok;
    for (int i = 0; i < 1000; ++i) {
        auto frame = decoder.GetNextFrame();
        ASSERT_NE(frame, nullptr);
        end = frame->GetDecoderState();
        if (end != Ok) break;
        ++frames;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.Stop();
    std::printf("stalled HTTP source: %zu pictures, then state %d after %.1f s\n", frames, static_cast<int>(end), seconds);
    EXPECT_GT(frames, 0u);
    EXPECT_TRUE(end == Error || end == EndOfArchive || end == NotAvailable) << static_cast<int>(end);
    // The get-next time-out is 2 s; the watchdog counts in whole seconds. Far below a hang.
    EXPECT_LT(seconds, 20.0);
}
