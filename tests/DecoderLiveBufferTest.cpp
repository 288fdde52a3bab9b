// FFMpegDecoder fed from memory: the static form over the caller's buffer, the live form fed in
// chunks (one thread or two), the size limit, draining, and the exported plain functions.
#include "Common/DateTime.h"
#include "Common/Logger.h"
#include "DecoderTestHelpers.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace DecoderTest;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;

namespace {

std::string Bytes(const std::string& path) { return RuvarTest::ReadFile(path); }
unsigned char* Data(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

// Offsets of the MPEG-TS packets that start a video PES (payload unit start on the video PID).
std::vector<size_t> VideoPesStarts(const std::string& ts) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        auto b = reinterpret_cast<const unsigned char*>(ts.data() + at);
        int pid = ((b[1] & 0x1f) << 8) | b[2];
        if (b[0] == 0x47 && (b[1] & 0x40) && pid == 0x100) starts.push_back(at);
    }
    return starts;
}

std::vector<std::string> Digests(const std::vector<std::shared_ptr<IDecodedFrame>>& frames) {
    std::vector<std::string> out;
    for (const auto& f : frames) out.push_back(PlanesMd5(*f));
    return out;
}

// Takes frames until the decoder answers something else; returns that state.
DecoderState TakeFrames(FFMpegDecoder& decoder, std::vector<std::shared_ptr<IDecodedFrame>>& frames) {
    for (int i = 0; i < 10000; ++i) {
        auto f = decoder.GetNextFrame();
        if (f->GetDecoderState() != Ok) return f->GetDecoderState();
        frames.push_back(f);
    }
    return Error;
}

}  // namespace

TEST(DecoderStaticBuffer, DecodesTheCallersBufferDatedFromTheStartTime) {
    std::string path = H264Mp4B();
    std::string bytes = Bytes(path);
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");
    const DateTime start(133000000000000000LL);
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), bytes.size(), start));
    auto decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.endState, EndOfArchive);
    EXPECT_EQ(decoded.digests, reference);
    ASSERT_FALSE(decoded.times.empty());
    EXPECT_EQ(decoded.times[0], start.GetFileTime());
    EXPECT_EQ(decoded.times[5], start.GetFileTime() + 5 * 400000);
    // The static form takes no appended bytes.
    EXPECT_FALSE(decoder.AppendChunkToBuffer(Data(bytes), 10));
}

TEST(DecoderStaticBuffer, GarbageFailsToOpen) {
    std::string garbage(4096, 'x');
    FFMpegDecoder decoder;
    ScopedLogCapture capture(4);
    EXPECT_FALSE(decoder.Initialize(Data(garbage), garbage.size(), DateTime()));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize error: Can't open input", 4));
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), Error);
}

TEST(DecoderLiveBuffer, ChunksAlignedToVideoPacketsGiveEveryFrameOnOneThread) {
    std::string path = Ts10s();
    std::string bytes = Bytes(path);
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");
    auto starts = VideoPesStarts(bytes);
    ASSERT_GT(starts.size(), 200u);

    FFMpegDecoder decoder;
    size_t first = starts[100];
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, first, true, nullptr));
    std::vector<std::shared_ptr<IDecodedFrame>> frames;
    EXPECT_EQ(TakeFrames(decoder, frames), NotAvailable);
    // A second opening is refused and leaves the decoder as it was.
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1 << 20, first, true, nullptr));
    // Reaching the end of the queued bytes does not end decoding: appends resume it.
    size_t fed = first;
    for (size_t i = 130; i < starts.size(); i += 30) {
        ASSERT_TRUE(decoder.AppendChunkToBuffer(Data(bytes) + fed, starts[i] - fed));
        fed = starts[i];
        size_t before = frames.size();
        EXPECT_EQ(TakeFrames(decoder, frames), NotAvailable);
        EXPECT_GT(frames.size(), before);
    }
    ASSERT_TRUE(decoder.AppendChunkToBuffer(Data(bytes) + fed, bytes.size() - fed));
    EXPECT_EQ(TakeFrames(decoder, frames), NotAvailable);
    // A zero-size append ends the input: the last frames come, then the end.
    ASSERT_TRUE(decoder.AppendChunkToBuffer(nullptr, 0));
    EXPECT_EQ(TakeFrames(decoder, frames), EndOfArchive);
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), EndOfArchive);
    EXPECT_EQ(Digests(frames), reference);
}

TEST(DecoderLiveBuffer, ChunksAppendedFromAnotherThreadGiveTheFilesFrames) {
    std::string path = Ts10s();
    std::string bytes = Bytes(path);
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");

    FFMpegDecoder decoder;
    const size_t first = bytes.size() / 3;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, first, true, nullptr));
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        // Odd-sized chunks: packet boundaries fall anywhere.
        for (size_t at = first; at < bytes.size(); at += 7001) {
            EXPECT_TRUE(decoder.AppendChunkToBuffer(Data(bytes) + at, std::min<size_t>(7001, bytes.size() - at)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(decoder.AppendChunkToBuffer(nullptr, 0));
        done = true;
    });
    std::vector<std::shared_ptr<IDecodedFrame>> frames;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    DecoderState state = Ok;
    while (std::chrono::steady_clock::now() < deadline) {
        state = TakeFrames(decoder, frames);
        if (state != NotAvailable) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    feeder.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(state, EndOfArchive);
    EXPECT_EQ(Digests(frames), reference);
    // Frames of a memory-fed decoder carry the wall clock in whole Unix seconds.
    ASSERT_FALSE(frames.empty());
    long long nowSeconds = (DateTime::NowUTC().GetFileTime() - DateTime::UnixEpochTicks) / 10000000;
    EXPECT_LE(frames.back()->GetFileTimeUtc(), nowSeconds);
    EXPECT_GE(frames.back()->GetFileTimeUtc(), nowSeconds - 120);
}

TEST(DecoderLiveBuffer, EmptyQueueIsNotAvailable) {
    std::string bytes = Bytes(Ts10s());
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, 200000, true, nullptr));
    std::vector<std::shared_ptr<IDecodedFrame>> frames;
    EXPECT_EQ(TakeFrames(decoder, frames), NotAvailable);
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), NotAvailable);
    EXPECT_EQ(decoder.GetNextPacket()->GetDemuxerState(), NotAvailable);
}

TEST(DecoderLiveBuffer, GrowsWithAWarningAndRefusesChunksPastTheLimit) {
    std::string bytes = Bytes(Ts10s());
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, 200000, true, nullptr));
    ScopedLogCapture capture(3);
    std::string chunk(2 << 20, '\0');
    ASSERT_TRUE(decoder.AppendChunkToBuffer(Data(chunk), chunk.size()));
    // Whatever the probe left unread, plus 2 MiB.
    bool grew = false;
    for (const auto& m : capture.Sink().Messages(3))
        grew = grew || m.rfind("FFMpegDecoder::AppendChunkToBuffer. increased buffer size from 1048576 to ", 0) == 0;
    EXPECT_TRUE(grew);
    std::string big(50u << 20, '\0');
    EXPECT_FALSE(decoder.AppendChunkToBuffer(Data(big), big.size()));
    EXPECT_TRUE(capture.Sink().Contains("Live decoding buffer size is exceeded 50M", 4));
    // Chunks within the limit are still taken.
    EXPECT_TRUE(decoder.AppendChunkToBuffer(Data(chunk), 1000));
}

TEST(DecoderLiveBuffer, WithoutLiveTheLimitDoesNotApply) {
    std::string bytes = Bytes(Ts10s());
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(Data(bytes), 1 << 20, 200000, false, nullptr));
    std::string big(51u << 20, '\0');
    EXPECT_TRUE(decoder.AppendChunkToBuffer(Data(big), big.size()));
}

TEST(DecoderLiveBuffer, DataLargerThanTheCapacityIsRefused) {
    std::string bytes = Bytes(Ts10s());
    FFMpegDecoder decoder;
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1000, 2000, true, nullptr));
}

TEST(DecoderLiveBuffer, HardwareTypeNeedsCudaFirstInTheFormatList) {
    std::string bytes = Bytes(Ts10s());
    FFMpegDecoder decoder;
    auto params = Params({std::make_shared<CuvidDecoderParameter>(2, 0)});
    ScopedLogCapture capture(0);
    EXPECT_FALSE(decoder.Initialize(Data(bytes), 1 << 20, 200000, true, &params));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize from buffer with parameters", 0));
    EXPECT_TRUE(capture.Sink().Contains("Invalid parameter combination: AllowHwDecode = true && requestedFormat == 7", 4));
}

// ---- exported plain functions, called as a host calls them ------------------------------

TEST(DecoderPlainFunctions, WorkThroughDlopen) {
    void* library = dlopen(RUVAR_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using Create = void* (*)();
    using Destroy = void (*)(void*);
    using InitializeFromBuffer = bool (*)(void*, unsigned char*, size_t, int64_t);
    using AppendBuffer = bool (*)(void*, unsigned char*, size_t);
    using GetNextFrame = void (*)(void*);
    auto create = reinterpret_cast<Create>(dlsym(library, "FFMpegDecoder_Create"));
    auto destroy = reinterpret_cast<Destroy>(dlsym(library, "FFMpegDecoder_Destroy"));
    auto initialize = reinterpret_cast<InitializeFromBuffer>(dlsym(library, "FFMpegDecoder_InitializeFromBuffer"));
    auto append = reinterpret_cast<AppendBuffer>(dlsym(library, "FFMpegDecoder_AppendBuffer"));
    auto step = reinterpret_cast<GetNextFrame>(dlsym(library, "FFMpegDecoder_GetNextFrame"));
    ASSERT_TRUE(create && destroy && initialize && append && step);

    std::string bytes = Bytes(H264Mp4NoB());
    void* decoder = create();
    ASSERT_NE(decoder, nullptr);
    ASSERT_TRUE(initialize(decoder, Data(bytes), bytes.size(), 133000000000000000LL));
    EXPECT_FALSE(append(decoder, Data(bytes), 16));
    for (int i = 0; i < 50; ++i) step(decoder);
    // Through the decoder's own virtual table (as a host holding the object would call it):
    // the 50 frames are gone, the end comes next.
    auto* asDecoder = static_cast<IFrameDecoder*>(static_cast<FFMpegDecoder*>(decoder));
    EXPECT_EQ(asDecoder->GetNextFrame()->GetDecoderState(), EndOfArchive);
    destroy(decoder);
    destroy(nullptr);
    dlclose(library);
}
