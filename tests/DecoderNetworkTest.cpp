// FFMpegDecoder on network sources: HTTP from a local server on 127.0.0.1, the watchdog on a
// stalled server, and Interrupt from another thread.
#include "Common/Logger.h"
#include "DecoderTestHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace DecoderTest;
using Halvora::Common::ScopedLogCapture;
using Clock = std::chrono::steady_clock;

namespace {

// A one-file HTTP server on 127.0.0.1 with byte ranges. After `stallAfter` body bytes of a
// response it stops sending (keeping the connection open) until it is stopped.
class LocalHttpServer {
public:
    LocalHttpServer(std::string body, size_t stallAfter = SIZE_MAX) : m_body(std::move(body)), m_stallAfter(stallAfter) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(m_listen, 8), 0);
        socklen_t length = sizeof address;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LocalHttpServer() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_clients) close(fd);
        close(m_listen);
    }
    std::string Url(const std::string& name) const { return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name; }
    int Requests() const { return m_requests; }

private:
    void Run() {
        // Bounded: the server stops by itself after 90 s.
        auto end = Clock::now() + std::chrono::seconds(90);
        while (!m_stop && Clock::now() < end) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int client = accept(m_listen, nullptr, nullptr);
            if (client < 0) continue;
            m_clients.push_back(client);
            Serve(client);
        }
    }

    void Serve(int client) {
        std::string request;
        char buffer[4096];
        auto end = Clock::now() + std::chrono::seconds(5);
        while (request.find("\r\n\r\n") == std::string::npos && Clock::now() < end && !m_stop) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, n);
        }
        ++m_requests;
        size_t from = 0;
        size_t range = request.find("Range: bytes=");
        if (range != std::string::npos) from = std::stoul(request.substr(range + 13));
        if (from > m_body.size()) from = m_body.size();
        std::string header = (range != std::string::npos ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n");
        header += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(m_body.size() - from) +
                  "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n";
        if (range != std::string::npos)
            header += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(m_body.size() - 1) + "/" +
                      std::to_string(m_body.size()) + "\r\n";
        header += "\r\n";
        if (m_stallAfter == 0) return;  // accepts and answers nothing
        SendAll(client, header.data(), header.size());
        size_t stop = std::min(m_body.size(), from + (m_stallAfter == SIZE_MAX ? m_body.size() : m_stallAfter));
        SendAll(client, m_body.data() + from, stop > from ? stop - from : 0);
        if (stop < m_body.size()) return;  // stalls with the connection open
        shutdown(client, SHUT_WR);
    }

    void SendAll(int fd, const char* data, size_t size) {
        while (size > 0 && !m_stop) {
            ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return;
            data += n;
            size -= n;
        }
    }

    std::string m_body;
    size_t m_stallAfter;
    int m_listen = -1;
    int m_port = 0;
    std::vector<int> m_clients;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::thread m_thread;
};

}  // namespace

TEST(DecoderNetwork, HttpSourceDecodesLikeTheFile) {
    std::string path = H264Mp4B();
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");
    LocalHttpServer server(RuvarTest::ReadFile(path));
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("clip.mp4")), nullptr));
    auto decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.endState, EndOfArchive);
    EXPECT_EQ(decoded.digests, reference);
    EXPECT_GE(server.Requests(), 1);
}

TEST(DecoderNetwork, HttpTransportStreamDecodes) {
    std::string path = TsVideoSecond();
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");
    LocalHttpServer server(RuvarTest::ReadFile(path));
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("clip.ts")), nullptr));
    EXPECT_EQ(DecodeAll(decoder).digests, reference);
}

TEST(DecoderNetwork, ProbeOfAnHttpSource) {
    LocalHttpServer server(RuvarTest::ReadFile(TsVideoSecond()));
    FFMpegDecoder decoder;
    auto result = decoder.GetVideoFileInfo(Halvora::Common::StringUtility::StringToWstring(server.Url("clip.ts")));
    ASSERT_EQ(result.infos.size(), 1u);
    EXPECT_EQ(result.infos[0]->width, 320);
    EXPECT_EQ(result.infos[0]->codecId, 27);
}

// The server answers the first part of the file and then stalls: the watchdog warns after more
// than 1, 2 and 4 s and the third expiration aborts the read. The frames read so far are drained,
// then the lost source is an error (not the end of the stream).
TEST(DecoderNetwork, StalledServerHitsTheGetNextTimeout) {
    std::string bytes = RuvarTest::ReadFile(Ts10s());
    LocalHttpServer server(bytes, bytes.size() / 2);
    FFMpegDecoder decoder;
    auto params = Params({std::make_shared<RtspGetFrameTimeoutParameter>(1000)});
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("live.ts")), &params));
    ScopedLogCapture capture(3);
    auto started = Clock::now();
    auto decoded = DecodeAll(decoder);
    auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(decoded.endState, Error);
    EXPECT_GT(decoded.digests.size(), 50u);
    EXPECT_LT(decoded.digests.size(), 250u);
    auto warnings = capture.Sink().Messages(3);
    std::vector<std::string> timeouts;
    for (const auto& w : warnings)
        if (w.rfind("FFMpegDecoder network timeout: ", 0) == 0) timeouts.push_back(w);
    ASSERT_GE(timeouts.size(), 3u);
    EXPECT_EQ(timeouts[0], "FFMpegDecoder network timeout: 1000 ms");
    EXPECT_EQ(timeouts[1], "FFMpegDecoder network timeout: 2000 ms");
    EXPECT_EQ(timeouts[2], "FFMpegDecoder network timeout: 4000 ms");
    EXPECT_GT(seconds, 4.0);
    EXPECT_LT(seconds, 30.0);
}

TEST(DecoderNetwork, ServerThatNeverAnswersHitsTheConnectionTimeout) {
    LocalHttpServer server("", 0);
    FFMpegDecoder decoder;
    auto params = Params({std::make_shared<RtspConnectionTimeoutParameter>(1000)});
    ScopedLogCapture capture(3);
    auto started = Clock::now();
    EXPECT_FALSE(decoder.Initialize(InfoFor(server.Url("x.ts")), &params));
    auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder network timeout: 4000 ms", 3));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize error: Can't open image file: ", 4));
    EXPECT_LT(seconds, 30.0);
}

TEST(DecoderNetwork, InterruptFromAnotherThreadStopsABlockedRead) {
    std::string bytes = RuvarTest::ReadFile(Ts10s());
    LocalHttpServer server(bytes, bytes.size() / 2);
    FFMpegDecoder decoder;
    auto params = Params({std::make_shared<RtspGetFrameTimeoutParameter>(60000)});
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("live.ts")), &params));
    std::atomic<int> frames{0};
    std::atomic<int> endState{-1};
    std::thread decoding([&] {
        for (int i = 0; i < 100000; ++i) {
            auto frame = decoder.GetNextFrame();
            if (frame->GetDecoderState() != Ok) {
                endState = frame->GetDecoderState();
                return;
            }
            ++frames;
        }
    });
    // Let it read what the server sends and block on the stall.
    auto until = Clock::now() + std::chrono::seconds(20);
    int seen = -1;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (frames == seen) break;
        seen = frames;
    }
    auto interrupted = Clock::now();
    decoder.Interrupt();
    decoding.join();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - interrupted).count(), 5.0);
    EXPECT_EQ(endState, NotAvailable);
    EXPECT_GT(frames, 0);
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), NotAvailable);
}

TEST(DecoderNetwork, InterruptFromAnotherThreadStopsADecodingLoop) {
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(Ts10s()), nullptr));
    std::atomic<int> frames{0};
    std::atomic<int> endState{-1};
    std::thread decoding([&] {
        for (int i = 0; i < 100000; ++i) {
            auto frame = decoder.GetNextFrame();
            if (frame->GetDecoderState() != Ok) {
                endState = frame->GetDecoderState();
                return;
            }
            ++frames;
        }
    });
    while (frames < 5 && endState == -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    decoder.Interrupt();
    decoding.join();
    EXPECT_EQ(endState, NotAvailable);
    EXPECT_LT(frames, 250);
}
