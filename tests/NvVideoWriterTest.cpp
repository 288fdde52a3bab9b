// The NVENC clip writer against the stand-in driver libraries (tests/nvstub): session settings,
// slot counts, clip reconfiguration, the slot ring and its pipelining, clips fed from another thread
// than the writer's own, NV12 packing, draining, the asynchronous end-of-stream time-out, release
// and the session count.
#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/MemoryStream.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/NvVideoWriter.h"
#include "nvstub/NvStubHarness.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using Halvora::Common::CodeErrorException;
using Halvora::Common::ScopedLogCapture;
using Halvora::IO::MemoryOutputStream;
using Halvora::RuvarEduzid::DecodedAvFrame;
using Halvora::RuvarEduzid::NvVideoWriter;
using Halvora::Video::Native::IDecodedFrame;
using NvStubHarness::StubTest;

namespace {

void* Ctx() {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(0xC0DE0));
}

std::string ThrowText(const std::function<void()>& f) {
    try {
        f();
    } catch (const CodeErrorException& e) {
        return e.Message();
    }
    return "<no throw>";
}

// A decoded YUV 4:2:0 frame with padded lines; pixel values derive from `seed`.
std::shared_ptr<IDecodedFrame> MakeFrame(int width, int height, int seed) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f, 64) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    for (int p = 0; p < 3; ++p) {
        int w = p ? (width + 1) / 2 : width;
        int h = p ? (height + 1) / 2 : height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < f->linesize[p]; ++x)
                f->data[p][y * f->linesize[p] + x] =
                    x < w ? static_cast<uint8_t>(seed * 31 + p * 77 + y * 13 + x * 3) : 0xEE;  // padding marked
    }
    auto frame = std::make_shared<DecodedAvFrame>(0, f);
    av_frame_free(&f);
    return frame;
}

// The NV12 picture the encoder should see for `frame`: luma rows, then chroma rows of U,V pairs.
std::string ExpectedNv12(const IDecodedFrame& frame) {
    const int w = frame.Width(), h = frame.Height();
    std::string out;
    for (int y = 0; y < h; ++y) out.append(reinterpret_cast<const char*>(frame.GetY() + y * frame.StrideY()), w);
    for (int r = 0; r < (h + 1) / 2; ++r) {
        for (int k = 0; k < (w + 1) / 2; ++k) {
            out += static_cast<char>(frame.GetU()[r * frame.StrideUV() + k]);
            out += static_cast<char>(frame.GetV()[r * frame.StrideUV() + k]);
        }
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

// ---- construction -------------------------------------------------------------------------------

TEST(NvVideoWriterChild, DISABLED_NoDriver) {
    ScopedLogCapture capture(0);
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 640, 480, 28, 1000000); }), "NvHWEncoder->Initialize failed");
    EXPECT_TRUE(capture.Sink().Contains("Throw: NvHWEncoder->Initialize failed", 4));
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }), "No encoders were found on GPU, error 10");
}

TEST(NvVideoWriterLoading, WithoutDriverTheConstructorAndTheCountFail) {
    if (NvStubHarness::RealDriverPresent()) GTEST_SKIP() << "an NVIDIA driver is installed here";
    std::string out;
    EXPECT_TRUE(NvStubHarness::RunChild("NvVideoWriterChild.DISABLED_NoDriver", "/nonexistent", &out)) << out;
}

TEST_F(NvVideoWriterTest, SessionRunsConstantQpAtTheHpPresetWithInfiniteGop) {
    NvVideoWriter w(Ctx(), 1280, 720, 31, 3000000);
    ASSERT_EQ(S().initializeParams.size(), 1u);
    const auto& p = S().initializeParams[0];
    const auto& e = S().initializeConfigs[0];
    const GUID hp = Halvora::RuvarEduzid::NvEncPresetHpGuid;
    EXPECT_EQ(std::memcmp(&p.presetGUID, &hp, sizeof(GUID)), 0);
    EXPECT_EQ(std::memcmp(&p.encodeGUID, &NV_ENC_CODEC_H264_GUID, sizeof(GUID)), 0);
    EXPECT_EQ(p.encodeWidth, 1280u);
    EXPECT_EQ(p.encodeHeight, 720u);
    EXPECT_EQ(p.maxEncodeWidth, 1280u);
    EXPECT_EQ(p.frameRateNum, 15u);
    EXPECT_EQ(p.frameRateDen, 100u);
    EXPECT_EQ(p.enableEncodeAsync, 0u);
    EXPECT_EQ(e.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(e.rcParams.constQP.qpIntra, 31u);
    EXPECT_EQ(e.rcParams.constQP.qpInterP, 31u);
    EXPECT_EQ(e.rcParams.constQP.qpInterB, 31u);
    EXPECT_EQ(e.rcParams.averageBitRate, 3000000u);
    EXPECT_EQ(e.rcParams.maxBitRate, 0u);
    EXPECT_EQ(e.rcParams.vbvBufferSize, 0u);
    EXPECT_EQ(e.rcParams.vbvInitialDelay, 0u);
    EXPECT_EQ(e.rcParams.enableInitialRCQP, 0u);
    EXPECT_EQ(e.gopLength, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(e.encodeCodecConfig.h264Config.idrPeriod, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(e.frameIntervalP, 1);
    EXPECT_EQ(e.frameFieldMode, NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME);
    EXPECT_EQ(e.encodeCodecConfig.h264Config.chromaFormatIDC, 1u);
    EXPECT_FALSE(w.AsyncMode());
    EXPECT_EQ(NvStub::CurrentContext(), Ctx());
}

TEST_F(NvVideoWriterTest, SlotCountFollowsTheMacroblockCount) {
    struct Case {
        int w, h;
        uint32_t slots;
    } cases[] = {{1920, 1080, 16}, {1280, 720, 32}, {3840, 2160, 8}, {4096, 2304, 4}, {1904, 1072, 32},
                 {16, 16, 32}};
    for (const auto& c : cases) {
        NvStub::Reset();
        {
            NvVideoWriter w(Ctx(), c.w, c.h, 28, 1000000);
            EXPECT_EQ(w.BufferCount(), c.slots) << c.w << "x" << c.h;
            EXPECT_EQ(S().registered.size(), c.slots);
            EXPECT_EQ(S().bitstreams.size(), c.slots);
            EXPECT_EQ(S().hostAllocations.size(), c.slots);
            EXPECT_EQ(S().cuEvents.size(), c.slots);
            ASSERT_FALSE(S().bitstreamCreates.empty());
            EXPECT_EQ(S().bitstreamCreates[0].size, static_cast<uint32_t>(c.w * c.h * 2));
            EXPECT_EQ(S().registrations[0].width, static_cast<uint32_t>(c.w));
            EXPECT_EQ(S().registrations[0].height, static_cast<uint32_t>(c.h));
        }
        EXPECT_EQ(S().Live(), 0u) << c.w << "x" << c.h;
    }
}

TEST_F(NvVideoWriterTest, ConstructionFailuresThrowTheirTextsAndLeakNothing) {
    struct Case {
        const char* call;
        int status;
        int onCall;
        const char* text;
    } cases[] = {
        {"nvEncInitializeEncoder", 8, 0, "NvHWEncoder->CreateEncoder failed"},
        {"NvEncodeAPICreateInstance", 15, 0, "NvHWEncoder->Initialize failed"},
        {"cuCtxSetCurrent", 201, 0, "cuCtxSetCurrentProc failed, ret code = 201"},
        {"cuMemAllocHost_v2", 2, 5, "cuMemAllocHostProc failed, ret code = 2"},
        {"nvEncCreateBitstreamBuffer", 10, 7, "nvEncCreateBitstreamBuffer failed, ret code = 10"},
        {"nvEncRegisterResource", 10, 32, "nvEncRegisterResource failed, ret code = 10"},
    };
    for (const auto& c : cases) {
        NvStub::Reset();
        S().faults[c.call] = {c.status, c.onCall};
        ScopedLogCapture capture(0);
        EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 640, 480, 28, 1000000); }), c.text);
        EXPECT_TRUE(capture.Sink().Contains(std::string("Throw: ") + c.text, 4)) << c.text;
        EXPECT_EQ(S().Live(), 0u) << c.text;
    }
    NvStub::Reset();
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), 0, 480, 28, 1000000); }), "NvHWEncoder->CreateEncoder failed");
    EXPECT_EQ(ThrowText([] { NvVideoWriter w(Ctx(), -16, 480, 28, 1000000); }), "NvHWEncoder->CreateEncoder failed");
    EXPECT_EQ(S().Live(), 0u);
}

TEST_F(NvVideoWriterTest, WithoutCudaContextThereIsNoEncoderAndClipsThrowClearly) {
    {
        NvVideoWriter w(nullptr, 640, 480, 28, 1000000);
        MemoryOutputStream out;
        EXPECT_NE(ThrowText([&] { w.StartClip(out, 640, 480, 2500, 1000000); }).find("created without a CUDA context"),
                  std::string::npos);
        EXPECT_NE(ThrowText([&] { w.WriteFrame(MakeFrame(64, 48, 1)); }).find("created without a CUDA context"),
                  std::string::npos);
        EXPECT_NE(ThrowText([&] { w.StopClip(); }).find("created without a CUDA context"), std::string::npos);
        w.Dispose();
    }
    EXPECT_TRUE(S().calls.empty());
}

// ---- clips ----------------------------------------------------------------------------------------

TEST_F(NvVideoWriterTest, StartClipChecksTheMaximumAndReconfiguresWithForcedIdr) {
    NvVideoWriter w(Ctx(), 1280, 720, 28, 1000000);
    MemoryOutputStream out;
    ScopedLogCapture capture(0);
    EXPECT_EQ(ThrowText([&] { w.StartClip(out, 1281, 720, 2500, 4000000); }),
              "Video clip resolution is larger than allowed. Width: 1281, height: 720, maxWidth: 1280, maxHeight: 720");
    EXPECT_EQ(ThrowText([&] { w.StartClip(out, 1280, 721, 2500, 4000000); }),
              "Video clip resolution is larger than allowed. Width: 1280, height: 721, maxWidth: 1280, maxHeight: 720");
    EXPECT_TRUE(S().reconfigures.empty());
    w.StartClip(out, 1280, 720, 2500, 4000000);
    EXPECT_TRUE(capture.Sink().Contains("StartClip bitrate: 4000000", 0));
    ASSERT_EQ(S().reconfigures.size(), 1u);
    const auto& r = S().reconfigures[0];
    EXPECT_EQ(r.forceIDR, 1u);
    EXPECT_EQ(r.reInitEncodeParams.encodeWidth, 1280u);
    EXPECT_EQ(r.reInitEncodeParams.encodeHeight, 720u);
    EXPECT_EQ(r.reInitEncodeParams.frameRateNum, 2500u);
    EXPECT_EQ(r.reInitEncodeParams.frameRateDen, 100u);
    const auto& rc = S().reconfigureConfigs[0].rcParams;
    EXPECT_EQ(rc.averageBitRate, 4000000u);
    EXPECT_EQ(rc.maxBitRate, 4000000u);
    // Derived from the creation frame rate (15/100), in unsigned 32-bit arithmetic.
    EXPECT_EQ(rc.vbvBufferSize, static_cast<uint32_t>(4000000u * 100u) / 15u);
    EXPECT_EQ(rc.vbvInitialDelay, rc.vbvBufferSize);

    w.StartClip(out, 640, 360, 1000, 500000);
    EXPECT_EQ(S().reconfigures[1].reInitEncodeParams.encodeWidth, 640u);

    S().faults["nvEncReconfigureEncoder"] = {NV_ENC_ERR_INVALID_PARAM, 0};
    EXPECT_EQ(ThrowText([&] { w.StartClip(out, 640, 360, 1000, 500000); }),
              "nvEncReconfigureEncoder failed, ret code = 8");
}

// The second clip is made on a thread of its own, where no CUDA context is current: the writer makes
// its context current for every GPU call, wherever it is called from.
TEST_F(NvVideoWriterTest, PicturesStayInTheirSlotsUntilStopClipThenDrainInOrderOnAnyThread) {
    NvVideoWriter w(Ctx(), 320, 240, 28, 1000000);
    ASSERT_EQ(w.BufferCount(), 32u);
    auto clipOn = [&](int clip) {
        MemoryOutputStream out;
        w.StartClip(out, 320, 240, 2500, 1000000);
        size_t before = S().pictures.size();
        for (int i = 0; i < 5; ++i) w.WriteFrame(MakeFrame(320, 240, i));
        EXPECT_EQ(out.GetSize(), 0u) << "nothing reaches the stream before StopClip";
        ASSERT_EQ(S().pictures.size(), before + 5);
        EXPECT_EQ(S().pictures[before].encodePicFlags, 6u) << "first picture: IDR with SPS and PPS";
        for (size_t i = before + 1; i < before + 5; ++i) EXPECT_EQ(S().pictures[i].encodePicFlags, 0u);
        EXPECT_TRUE(w.StopClip());
        EXPECT_EQ(S().pictures.back().encodePicFlags, static_cast<uint32_t>(NV_ENC_PIC_FLAG_EOS));
        EXPECT_EQ(Text(out), Payloads(clip * 5, clip * 5 + 5));
        // StopClip with nothing pending adds nothing.
        EXPECT_TRUE(w.StopClip());
        EXPECT_EQ(Text(out), Payloads(clip * 5, clip * 5 + 5));
    };
    clipOn(0);
    std::thread feeder([&] {
        try {
            clipOn(1);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the clip on the second thread threw: " << e.what();
        }
    });
    feeder.join();
    EXPECT_TRUE(S().mapped.empty());
}

TEST_F(NvVideoWriterTest, AFullRingHandsOutTheOldestPictureFirst) {
    NvVideoWriter w(Ctx(), 16, 16, 28, 1000000);
    ASSERT_EQ(w.BufferCount(), 32u);
    MemoryOutputStream out;
    w.StartClip(out, 16, 16, 2500, 1000000);
    S().payloads.clear();
    for (int i = 0; i < 80; ++i) S().payloads.push_back("<" + std::to_string(i) + ">");
    std::string expected;
    for (int i = 0; i < 80; ++i) {
        w.WriteFrame(MakeFrame(16, 16, i));
        if (i >= 32) expected += "<" + std::to_string(i - 32) + ">";
        ASSERT_EQ(Text(out), expected) << "after picture " << i;
    }
    EXPECT_TRUE(w.StopClip());
    for (int i = 48; i < 80; ++i) expected += "<" + std::to_string(i) + ">";
    EXPECT_EQ(Text(out), expected);
}

TEST_F(NvVideoWriterTest, Nv12UploadMatchesThePlanarInputIncludingOddSizes) {
    struct Case {
        int maxW, maxH, w, h;
    } cases[] = {{64, 48, 64, 48}, {33, 17, 33, 17}, {33, 17, 31, 15}, {35, 21, 34, 20}, {1, 1, 1, 1}};
    for (const auto& c : cases) {
        NvStub::Reset();
        {
            NvVideoWriter w(Ctx(), c.maxW, c.maxH, 28, 1000000);
            MemoryOutputStream out;
            w.StartClip(out, c.w, c.h, 2500, 1000000);
            std::vector<std::shared_ptr<IDecodedFrame>> frames;
            for (int i = 0; i < 3; ++i) {
                frames.push_back(MakeFrame(c.w, c.h, i + 1));
                w.WriteFrame(frames.back());
            }
            ASSERT_EQ(S().submittedNv12.size(), 3u);
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(S().submittedNv12[i], ExpectedNv12(*frames[i])) << c.w << "x" << c.h << " picture " << i;
                EXPECT_EQ(S().pictures[i].inputWidth, static_cast<uint32_t>(c.w));
                EXPECT_EQ(S().pictures[i].inputHeight, static_cast<uint32_t>(c.h));
            }
            EXPECT_FALSE(S().boundsViolation);
            EXPECT_TRUE(w.StopClip());
        }
        EXPECT_EQ(S().Live(), 0u);
    }
}

TEST_F(NvVideoWriterTest, FrameFailuresReachTheCallerAndLoseNoSlot) {
    NvVideoWriter w(Ctx(), 64, 48, 28, 1000000);
    MemoryOutputStream out;
    EXPECT_NE(ThrowText([&] { w.WriteFrame(MakeFrame(64, 48, 1)); }).find("no clip was started"), std::string::npos);
    w.StartClip(out, 64, 48, 2500, 1000000);
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(Halvora::Orvi::Yuv420PImage(), Halvora::Common::DateTime()); }),
              "NVVideoWriter does not support YUV Frames");
    EXPECT_NE(ThrowText([&] { w.WriteFrame(MakeFrame(65, 48, 1)); }).find("larger than the encoder maximum"),
              std::string::npos);
    w.StartClip(out, 32, 48, 2500, 1000000);
    EXPECT_NE(ThrowText([&] { w.WriteFrame(MakeFrame(64, 48, 1)); }).find("differs from the clip size 32x48"),
              std::string::npos);
    w.StartClip(out, 64, 48, 2500, 1000000);
    EXPECT_NE(ThrowText([&] { w.WriteFrame(nullptr); }), "<no throw>");

    S().faults["nvEncEncodePicture"] = {NV_ENC_ERR_ENCODER_BUSY, 0};
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(MakeFrame(64, 48, 1)); }), "nvEncEncodePicture API failed with staus 18");
    S().faults.clear();
    S().faults["cuMemcpy2DAsync_v2"] = {700, 0};
    EXPECT_EQ(ThrowText([&] { w.WriteFrame(MakeFrame(64, 48, 1)); }), "cuMemcpy2DAsyncProc failed, ret code = 700");
    S().faults.clear();
    // The failed pictures left no slot pending; the next picture is still the forced IDR.
    w.WriteFrame(MakeFrame(64, 48, 2));
    w.WriteFrame(MakeFrame(64, 48, 3));
    EXPECT_TRUE(w.StopClip());
    EXPECT_EQ(Text(out), NvStub::DefaultPayload(0, 6) + NvStub::DefaultPayload(1, 0));
    EXPECT_TRUE(S().mapped.empty());
}

TEST_F(NvVideoWriterTest, StopClipReportsFlushAndOutputFailuresAsFalseAndKeepsWhatWasWritten) {
    struct Case {
        const char* call;  // fails once
        int frames;
        const char* text;
        bool firstLost;
    } cases[] = {
        // The end of stream is refused: the pictures stay pending for the next StopClip.
        {"nvEncEncodePicture/EOS", 2, "nvEncEncodePicture failed", false},
        // The first picture's output cannot be locked, in StopClip or in the WriteFrame that needs its slot.
        {"nvEncLockBitstream", 2, "Failed to flush encoder. Status: 20", true},
        {"nvEncLockBitstream", 33, "Failed to flush encoder. Status: 20", true},
    };
    for (const auto& c : cases) {
        NvStub::Reset();
        NvVideoWriter w(Ctx(), 16, 16, 28, 1000000);
        MemoryOutputStream out;
        w.StartClip(out, 16, 16, 2500, 1000000);
        S().faults[c.call] = {NV_ENC_ERR_GENERIC, 1};
        std::string kept;
        for (int i = 0; i < c.frames; ++i) {
            w.WriteFrame(MakeFrame(16, 16, i));
            if (i > 0 || !c.firstLost) kept += NvStub::DefaultPayload(i, i == 0 ? 6 : 0);
        }
        ScopedLogCapture capture(0);
        EXPECT_FALSE(w.StopClip()) << c.call;
        EXPECT_TRUE(capture.Sink().Contains(std::string("StopClip failure. Exception: ") + c.text, 4)) << c.call;
        EXPECT_TRUE(w.StopClip()) << c.call;
        EXPECT_EQ(Text(out), kept) << c.call;
        EXPECT_TRUE(S().mapped.empty()) << c.call;
    }
}

TEST_F(NvVideoWriterTest, AsynchronousModeWaitsOnEventsAndTimesOutOnAMissingEndOfStream) {
    S().caps[NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT] = 1;
    {
        NvVideoWriter w(Ctx(), 1920, 1080, 28, 1000000);
        ASSERT_TRUE(w.AsyncMode());
        EXPECT_EQ(S().asyncEvents.size(), 17u);  // one per slot and the end-of-stream event
        MemoryOutputStream out;
        w.StartClip(out, 64, 48, 2500, 1000000);
        w.WriteFrame(MakeFrame(64, 48, 1));
        w.WriteFrame(MakeFrame(64, 48, 2));
        EXPECT_NE(S().pictures[0].completionEvent, nullptr);
        EXPECT_NE(S().pictures[0].completionEvent, S().pictures[1].completionEvent);
        EXPECT_TRUE(w.StopClip());
        EXPECT_EQ(Text(out), Payloads(0, 2));
        EXPECT_TRUE(S().asyncEvents.count(S().pictures.back().completionEvent));

        S().signalEosEvent = false;
        MemoryOutputStream out2;
        w.StartClip(out2, 64, 48, 2500, 1000000);
        w.WriteFrame(MakeFrame(64, 48, 3));
        ScopedLogCapture capture(0);
        EXPECT_FALSE(w.StopClip());
        EXPECT_TRUE(capture.Sink().Contains("Timeout", 3));
        EXPECT_TRUE(capture.Sink().Contains("StopClip failure. Exception: Failed to flush encoder. Status: 20", 4));
        EXPECT_EQ(Text(out2), NvStub::DefaultPayload(2, 6));
    }
    EXPECT_TRUE(S().asyncEvents.empty());
    EXPECT_EQ(S().Live(), 0u);
}

TEST_F(NvVideoWriterTest, DisposeReleasesEverythingAndEndsTheWriter) {
    NvVideoWriter w(Ctx(), 640, 480, 28, 1000000);
    MemoryOutputStream out;
    w.StartClip(out, 640, 480, 2500, 1000000);
    w.WriteFrame(MakeFrame(640, 480, 1));  // pending, never stopped
    w.Dispose();
    EXPECT_EQ(S().Live(), 0u);
    EXPECT_NE(ThrowText([&] { w.StartClip(out, 640, 480, 2500, 1000000); }).find("disposed"), std::string::npos);
    EXPECT_NE(ThrowText([&] { w.WriteFrame(MakeFrame(640, 480, 1)); }).find("disposed"), std::string::npos);
    w.Dispose();
    EXPECT_EQ(S().Count("nvEncDestroyEncoder"), 1);
}

TEST_F(NvVideoWriterTest, DestructionWithPicturesInFlightReleasesEverything) {
    {
        NvVideoWriter w(Ctx(), 640, 480, 28, 1000000);
        MemoryOutputStream out;
        w.StartClip(out, 640, 480, 2500, 1000000);
        for (int i = 0; i < 3; ++i) w.WriteFrame(MakeFrame(640, 480, i));
    }
    EXPECT_EQ(S().Live(), 0u);
    NvStub::Reset();
    // A release failure is logged, never thrown out of the destructor, and the rest is released.
    {
        auto w = std::make_unique<NvVideoWriter>(Ctx(), 640, 480, 28, 1000000);
        S().faults["nvEncDestroyBitstreamBuffer"] = {NV_ENC_ERR_GENERIC, 3};
        ScopedLogCapture capture(0);
        w.reset();
        EXPECT_TRUE(capture.Sink().Contains(
            "Releasing the NVENC writer failed: nvEncDestroyBitstreamBuffer failed, ret code = 20", 4));
        EXPECT_EQ(S().bitstreams.size(), 1u);  // the one the driver refused
        EXPECT_TRUE(S().sessions.empty());
        EXPECT_TRUE(S().registered.empty());
        EXPECT_TRUE(S().deviceAllocations.empty());
        EXPECT_TRUE(S().hostAllocations.empty());
    }
    NvStub::Reset();
    {
        NvVideoWriter w(Ctx(), 640, 480, 28, 1000000);
        S().faults["nvEncUnregisterResource"] = {NV_ENC_ERR_GENERIC, 2};
        EXPECT_EQ(ThrowText([&] { w.Dispose(); }), "nvEncUnregisterResource failed, ret code = 20");
        EXPECT_TRUE(S().sessions.empty());
        EXPECT_TRUE(S().bitstreams.empty());
        EXPECT_EQ(S().registered.size(), 1u);
    }
}

TEST_F(NvVideoWriterTest, GetMaxEncodersCountsTheSessionsTheGpuAccepts) {
    S().maxSessions = 3;
    EXPECT_EQ(NvVideoWriter::GetMaxEncoders(Ctx(), 8), 3u);
    EXPECT_EQ(S().Count("nvEncOpenEncodeSessionEx"), 4);
    EXPECT_EQ(S().Count("nvEncDestroyEncoder"), 3);
    EXPECT_EQ(S().Count("cuCtxSetCurrent"), 0);
    EXPECT_EQ(NvVideoWriter::GetMaxEncoders(Ctx(), 2), 2u);
    EXPECT_EQ(S().Live(), 0u);

    // Zero asked: the full open succeeds, and still no count can be given.
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 0); }), "No encoders were found on GPU, error 0");
    EXPECT_EQ(S().Live(), 0u);
    // No session at all: the full open throws its own error.
    S().maxSessions = 0;
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }),
              "NvEncOpenEncodeSessionEx failed, ret code = 10");
    // The driver refuses the interface version: the returned status is reported.
    NvStub::Reset();
    S().faults["NvEncodeAPICreateInstance"] = {NV_ENC_ERR_INVALID_VERSION, 0};
    ScopedLogCapture capture(0);
    EXPECT_EQ(ThrowText([] { NvVideoWriter::GetMaxEncoders(Ctx(), 4); }), "No encoders were found on GPU, error 15");
    EXPECT_TRUE(capture.Sink().Contains("Throw: No encoders were found on GPU, error 15", 4));
    EXPECT_EQ(S().Live(), 0u);
}
