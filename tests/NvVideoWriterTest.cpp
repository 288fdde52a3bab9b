// The NVENC clip writer against the stand-in driver libraries (tests/nvstub), which refuse what the
// real driver refuses and count what stays allocated: loading, construction and its failures, clips
// and their reconfiguration, the slot ring, clips fed from another thread, NV12 packing, draining,
// failures of frames and of the output, the asynchronous mode, release and the session count.
#include "Common/DateTime.h"
#include "Common/Logger.h"
#include "Common/MemoryStream.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/NvVideoWriter.h"
#include "nvstub/NvStubHarness.h"
#include "support/Pictures.h"

#include <gtest/gtest.h>

#include <thread>

using namespace RuvarTest;
using Halvora::Common::ScopedLogCapture;
using Halvora::IO::MemoryOutputStream;
using Halvora::RuvarEduzid::NvVideoWriter;
using NvStubHarness::StubTest;

namespace {

void* Ctx() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0xC0DE0)); }

// A decoded 4:2:0 frame with padded lines (the padding marked); pixels derive from `seed`.
std::shared_ptr<IDecodedFrame> Frame(int width, int height, int seed) {
    Halvora::RuvarEduzid::AVFramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    av_frame_get_buffer(f.get(), 64);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? (height + 1) / 2 : height); ++y)
            for (int x = 0; x < f->linesize[p]; ++x)
                f->data[p][y * f->linesize[p] + x] =
                    x < (p ? (width + 1) / 2 : width) ? uint8_t(seed * 31 + p * 77 + y * 13 + x * 3) : 0xEE;
    return std::make_shared<Halvora::RuvarEduzid::DecodedAvFrame>(0, f.get());
}

// The NV12 picture the encoder should see: luma rows, then rows of U,V pairs.
std::string Nv12(const IDecodedFrame& f) {
    std::string out;
    for (int y = 0; y < f.Height(); ++y) out.append(reinterpret_cast<const char*>(f.GetY() + y * f.StrideY()), f.Width());
    for (int r = 0; r < (f.Height() + 1) / 2; ++r)
        for (int k = 0; k < (f.Width() + 1) / 2; ++k) {
            out += static_cast<char>(f.GetU()[r * f.StrideUV() + k]);
            out += static_cast<char>(f.GetV()[r * f.StrideUV() + k]);
        }
    return out;
}

std::string Text(const MemoryOutputStream& out) {
    return std::string(reinterpret_cast<const char*>(out.GetBuffer()), out.GetSize());
}

std::string Payloads(int from, int to) {
    std::string s;
    for (int i = from; i < to; ++i) s += NvStub::DefaultPayload(i, i == from ? 6 : 0);
    return s;
}

class NvVideoWriterTest : public StubTest {};

}  // namespace

// ---- loading and construction ----------------------------------------------------------------------

// Run as children of the test below with another library path.
TEST(NvVideoWriterChild, DISABLED_NoDriver) {
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 640, 480, 28, 1000000); }), "NvHWEncoder->Initialize failed");
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }), "No encoders were found on GPU, error 10");
}
TEST(NvVideoWriterChild, DISABLED_CudaEntryPointMissing) {
    NvStub::Reset();
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 640, 480, 28, 1000000); }), "NvHWEncoder->Initialize failed");
    EXPECT_EQ(NvStub::Get().Count("nvEncOpenEncodeSessionEx"), 0);
    EXPECT_EQ(NvStub::Get().Live(), 0u);
}

TEST(NvVideoWriterLoading, WithoutADriverOrWithOneLackingAnEntryPointNothingOpens) {
    std::string out;
    if (!NvStubHarness::RealDriverPresent()) {
        EXPECT_TRUE(NvStubHarness::RunChild("NvVideoWriterChild.DISABLED_NoDriver", "/nonexistent", &out)) << out;
    }
    EXPECT_TRUE(NvStubHarness::RunChild("NvVideoWriterChild.DISABLED_CudaEntryPointMissing",
                                        std::string(NVSTUB_PARTIAL_DIR) + ":" + NVSTUB_LIB_DIR, &out))
        << out;
}

TEST_F(NvVideoWriterTest, ConstructionFailuresThrowTheirTextsAndLeakNothing) {
    const std::tuple<const char*, int, int, const char*> rows[] = {
        {"nvEncInitializeEncoder", 8, 0, "NvHWEncoder->CreateEncoder failed"},
        {"NvEncodeAPICreateInstance", 15, 0, "NvHWEncoder->Initialize failed"},
        {"cuCtxSetCurrent", 201, 0, "cuCtxSetCurrentProc failed, ret code = 201"},
        {"cuStreamCreate", 2, 0, "cuStreamCreateProc failed to create upload stream, ret code = 2"},
        {"cuMemAllocHost_v2", 2, 5, "cuMemAllocHostProc failed, ret code = 2"},
        {"nvEncCreateBitstreamBuffer", 10, 7, "nvEncCreateBitstreamBuffer failed, ret code = 10"},
        {"nvEncRegisterResource", 10, 32, "nvEncRegisterResource failed, ret code = 10"},
    };
    for (const auto& [call, status, onCall, text] : rows) {
        NvStub::Reset();
        S().faults[call] = {status, onCall};
        EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 640, 480, 28, 1000000); }), text);
        EXPECT_EQ(S().Live(), 0u) << text;
    }
    NvStub::Reset();
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 0, 480, 28, 1000000); }), "NvHWEncoder->CreateEncoder failed");
    EXPECT_EQ(S().Live(), 0u);
    NvStub::Reset();
    {
        NvVideoWriter w(nullptr, 640, 480, 28, 1000000);  // no CUDA context: no encoder, clear errors
        MemoryOutputStream out;
        EXPECT_NE(ThrowText([&] { w.StartClip(out, 640, 480, 2500, 1000000); }).find("without a CUDA context"), std::string::npos);
        EXPECT_NE(ThrowText([&] { w.StopClip(); }).find("created without a CUDA context"), std::string::npos);
    }
    EXPECT_TRUE(S().callCounts.empty());
}

// ---- clips ----------------------------------------------------------------------------------------------

TEST_F(NvVideoWriterTest, StartClipChecksTheMaximumAndReconfiguresWithAForcedIdr) {
    NvVideoWriter w(Ctx(), 1280, 720, 28, 1000000);
    MemoryOutputStream out;
    EXPECT_EQ(ThrowText([&] { w.StartClip(out, 1281, 720, 2500, 4000000); }),
              "Video clip resolution is larger than allowed. Width: 1281, height: 720, maxWidth: 1280, maxHeight: 720");
    EXPECT_TRUE(S().reconfigures.empty());
    w.StartClip(out, 1280, 720, 2500, 4000000);
    ASSERT_EQ(S().reconfigures.size(), 1u);
    EXPECT_EQ(S().reconfigures[0].forceIDR, 1u);
    EXPECT_EQ(S().reconfigures[0].reInitEncodeParams.frameRateNum, 2500u);
    EXPECT_EQ(S().reconfigureConfigs[0].rcParams.averageBitRate, 4000000u);
    EXPECT_EQ(S().reconfigureConfigs[0].rcParams.maxBitRate, 4000000u);
    w.StartClip(out, 640, 360, 1000, 500000);
    EXPECT_EQ(S().reconfigures[1].reInitEncodeParams.encodeWidth, 640u);
    S().faults["nvEncReconfigureEncoder"] = {NV_ENC_ERR_INVALID_PARAM, 0};
    EXPECT_EQ(ThrowText([&] { w.StartClip(out, 640, 360, 1000, 500000); }), "nvEncReconfigureEncoder failed, ret code = 8");
}

// Pictures stay in their slots until StopClip, then drain in order, the first an IDR with its
// parameter sets. The second clip comes from a thread where no CUDA context is current: the writer
// makes its own current for every call that touches the GPU (the stand-in refuses otherwise).
TEST_F(NvVideoWriterTest, ClipsDrainInOrderAtStopClipOnAnyThread) {
    {
    NvVideoWriter w(Ctx(), 320, 240, 28, 1000000);
    auto clip = [&](int index) {
        MemoryOutputStream out;
        w.StartClip(out, 320, 240, 2500, 1000000);
        const size_t before = S().pictures.size();
        for (int i = 0; i < 5; ++i) w.WriteFrame(Frame(320, 240, i));
        EXPECT_EQ(out.GetSize(), 0u) << "nothing reaches the stream before StopClip";
        ASSERT_EQ(S().pictures.size(), before + 5);
        EXPECT_EQ(S().pictures[before].encodePicFlags, 6u);
        EXPECT_TRUE(w.StopClip());
        EXPECT_EQ(S().pictures.back().encodePicFlags, static_cast<uint32_t>(NV_ENC_PIC_FLAG_EOS));
        EXPECT_EQ(Text(out), Payloads(index * 5, index * 5 + 5));
        EXPECT_TRUE(w.StopClip());  // nothing pending adds nothing
        EXPECT_EQ(Text(out), Payloads(index * 5, index * 5 + 5));
    };
    clip(0);
    std::thread other([&] { clip(1); });
    other.join();
    EXPECT_TRUE(S().mapped.empty());
    }
    NvStub::Reset();
    // A full ring hands out its oldest picture first (32 slots at 16x16).
    NvVideoWriter small(Ctx(), 16, 16, 28, 1000000);
    MemoryOutputStream out;
    small.StartClip(out, 16, 16, 2500, 1000000);
    S().payloads.clear();
    for (int i = 0; i < 80; ++i) S().payloads.push_back("<" + std::to_string(i) + ">");
    std::string expected;
    for (int i = 0; i < 80; ++i) {
        small.WriteFrame(Frame(16, 16, i));
        if (i >= 32) expected += "<" + std::to_string(i - 32) + ">";
        ASSERT_EQ(Text(out), expected) << i;
    }
    EXPECT_TRUE(small.StopClip());
    for (int i = 48; i < 80; ++i) expected += "<" + std::to_string(i) + ">";
    EXPECT_EQ(Text(out), expected);
}

TEST_F(NvVideoWriterTest, TheUploadIsTheNv12OfThePlanarInputAtAnySize) {
    for (const auto& [maxW, maxH, w, h] : {std::tuple{64, 48, 64, 48}, std::tuple{33, 17, 33, 17}, std::tuple{33, 17, 31, 15},
                                           std::tuple{35, 21, 34, 20}, std::tuple{1, 1, 1, 1}}) {
        NvStub::Reset();
        {
            NvVideoWriter writer(Ctx(), maxW, maxH, 28, 1000000);
            MemoryOutputStream out;
            writer.StartClip(out, w, h, 2500, 1000000);
            std::vector<std::shared_ptr<IDecodedFrame>> frames;
            for (int i = 0; i < 3; ++i) writer.WriteFrame(frames.emplace_back(Frame(w, h, i + 1)));
            ASSERT_EQ(S().submittedNv12.size(), 3u);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(S().submittedNv12[i], Nv12(*frames[i])) << w << "x" << h << " picture " << i;
            EXPECT_FALSE(S().boundsViolation);
            EXPECT_TRUE(writer.StopClip());
        }
        EXPECT_EQ(S().Live(), 0u);
    }
}

TEST_F(NvVideoWriterTest, FrameFailuresReachTheCallerAndLoseNoSlot) {
    NvVideoWriter w(Ctx(), 64, 48, 28, 1000000);
    MemoryOutputStream out;
    EXPECT_NE(ThrowText([&] { w.WriteFrame(Frame(64, 48, 1)); }).find("no clip was started"), std::string::npos);
    w.StartClip(out, 64, 48, 2500, 1000000);
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(Halvora::Orvi::Yuv420PImage(), Halvora::Common::DateTime()); }),
              "NVVideoWriter does not support YUV Frames");
    EXPECT_NE(ThrowText([&] { w.WriteFrame(Frame(65, 48, 1)); }).find("larger than the encoder maximum"), std::string::npos);
    w.StartClip(out, 32, 48, 2500, 1000000);
    EXPECT_NE(ThrowText([&] { w.WriteFrame(Frame(64, 48, 1)); }).find("differs from the clip size 32x48"), std::string::npos);
    w.StartClip(out, 64, 48, 2500, 1000000);
    EXPECT_NE(ThrowText([&] { w.WriteFrame(nullptr); }), "(no exception)");
    S().faults["nvEncEncodePicture"] = {NV_ENC_ERR_ENCODER_BUSY, 0};
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(Frame(64, 48, 1)); }), "nvEncEncodePicture API failed with staus 18");
    S().faults.clear();
    S().faults["cuMemcpy2DAsync_v2"] = {700, 0};
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(Frame(64, 48, 1)); }), "cuMemcpy2DAsyncProc failed, ret code = 700");
    S().faults.clear();
    w.WriteFrame(Frame(64, 48, 2));  // the failed pictures left no slot pending: still the forced IDR
    w.WriteFrame(Frame(64, 48, 3));
    EXPECT_TRUE(w.StopClip());
    EXPECT_EQ(Text(out), NvStub::DefaultPayload(0, 6) + NvStub::DefaultPayload(1, 0));
    EXPECT_TRUE(S().mapped.empty());
}

// A refused end of stream keeps the pictures pending; a picture whose output cannot be locked (in
// StopClip or in the WriteFrame that needs its slot) is lost: StopClip says false, keeps the rest.
TEST_F(NvVideoWriterTest, StopClipReportsOutputFailuresAsFalse) {
    for (const auto& [call, frames, text, firstLost] :
         {std::tuple{"nvEncEncodePicture/EOS", 2, "nvEncEncodePicture failed", false},
          std::tuple{"nvEncLockBitstream", 2, "Failed to flush encoder. Status: 20", true},
          std::tuple{"nvEncLockBitstream", 33, "Failed to flush encoder. Status: 20", true}}) {
        NvStub::Reset();
        NvVideoWriter w(Ctx(), 16, 16, 28, 1000000);
        MemoryOutputStream out;
        w.StartClip(out, 16, 16, 2500, 1000000);
        S().faults[call] = {NV_ENC_ERR_GENERIC, 1};
        std::string kept;
        for (int i = 0; i < frames; ++i) {
            w.WriteFrame(Frame(16, 16, i));
            if (i > 0 || !firstLost) kept += NvStub::DefaultPayload(i, i == 0 ? 6 : 0);
        }
        ScopedLogCapture capture(0);
        EXPECT_FALSE(w.StopClip()) << call;
        EXPECT_TRUE(capture.Sink().Contains(std::string("StopClip failure. Exception: ") + text, 4)) << call;
        EXPECT_TRUE(w.StopClip()) << call;
        EXPECT_EQ(Text(out), kept) << call;
        EXPECT_TRUE(S().mapped.empty()) << call;
    }
}

TEST_F(NvVideoWriterTest, AsynchronousModeWaitsOnEventsAndTimesOutOnAMissingEndOfStream) {
    S().caps[NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT] = 1;
    {
        NvVideoWriter w(Ctx(), 1920, 1080, 28, 1000000);
        ASSERT_TRUE(w.AsyncMode());
        MemoryOutputStream out;
        w.StartClip(out, 64, 48, 2500, 1000000);
        w.WriteFrame(Frame(64, 48, 1));
        w.WriteFrame(Frame(64, 48, 2));
        EXPECT_NE(S().pictures[0].completionEvent, S().pictures[1].completionEvent);
        EXPECT_TRUE(w.StopClip());
        EXPECT_EQ(Text(out), Payloads(0, 2));
        S().signalEosEvent = false;
        MemoryOutputStream out2;
        w.StartClip(out2, 64, 48, 2500, 1000000);
        w.WriteFrame(Frame(64, 48, 3));
        EXPECT_FALSE(w.StopClip());
        EXPECT_EQ(Text(out2), NvStub::DefaultPayload(2, 6));
    }
    EXPECT_EQ(S().Live(), 0u);
}

// Dispose and destruction release everything, pictures in flight included; a release failure is
// logged (never thrown out of the destructor) and the rest is released.
TEST_F(NvVideoWriterTest, ReleaseGivesEverythingBack) {
    {
        NvVideoWriter w(Ctx(), 640, 480, 28, 1000000);
        MemoryOutputStream out;
        w.StartClip(out, 640, 480, 2500, 1000000);
        w.WriteFrame(Frame(640, 480, 1));
        w.Dispose();
        EXPECT_EQ(S().Live(), 0u);
        EXPECT_NE(ThrowText([&] { w.WriteFrame(Frame(640, 480, 1)); }).find("disposed"), std::string::npos);
        w.Dispose();
        EXPECT_EQ(S().Count("nvEncDestroyEncoder"), 1);
    }
    {
        NvVideoWriter w(Ctx(), 640, 480, 28, 1000000);
        MemoryOutputStream out;
        w.StartClip(out, 640, 480, 2500, 1000000);
        for (int i = 0; i < 3; ++i) w.WriteFrame(Frame(640, 480, i));
    }
    EXPECT_EQ(S().Live(), 0u);
    NvStub::Reset();
    auto w = std::make_unique<NvVideoWriter>(Ctx(), 640, 480, 28, 1000000);
    S().faults["nvEncDestroyBitstreamBuffer"] = {NV_ENC_ERR_GENERIC, 3};
    ScopedLogCapture capture(0);
    w.reset();
    EXPECT_TRUE(capture.Sink().Contains(
        "Releasing the NVENC writer failed: nvEncDestroyBitstreamBuffer failed, ret code = 20", 4));
    EXPECT_EQ(S().Live(), 1u);  // the one the driver refused
}

TEST_F(NvVideoWriterTest, GetMaxEncodersCountsTheSessionsTheGpuAccepts) {
    S().maxSessions = 3;
    EXPECT_EQ(NvVideoWriter::GetMaxEncoders(Ctx(), 8), 3u);
    EXPECT_EQ(NvVideoWriter::GetMaxEncoders(Ctx(), 2), 2u);
    EXPECT_EQ(S().Live(), 0u);
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 0); }), "No encoders were found on GPU, error 0");
    S().maxSessions = 0;
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }), "NvEncOpenEncodeSessionEx failed, ret code = 10");
    NvStub::Reset();
    S().faults["NvEncodeAPICreateInstance"] = {NV_ENC_ERR_INVALID_VERSION, 0};
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }), "No encoders were found on GPU, error 15");
    EXPECT_EQ(S().Live(), 0u);
}
