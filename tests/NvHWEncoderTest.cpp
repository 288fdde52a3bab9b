// The NVENC session wrapper against the stand-in driver libraries (tests/nvstub): loading, session
// open, configuration rules, reconfiguration, slot buffers, upload, submission, output and every
// failure text, with the stand-in counting what stays allocated.
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/MemoryStream.h"
#include "RuvarEduzid/NvHWEncoder.h"
#include "nvstub/NvStubHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using Halvora::Common::CodeErrorException;
using Halvora::Common::ScopedLogCapture;
using Halvora::IO::MemoryOutputStream;
using namespace Halvora::RuvarEduzid;
using NvStubHarness::StubTest;

namespace {

CUcontext Ctx() {
    return reinterpret_cast<CUcontext>(static_cast<uintptr_t>(0xC0DE0));
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// The text of the CodeErrorException `f` throws; "<no throw>" when it returns.
std::string ThrowText(const std::function<void()>& f) {
    try {
        f();
    } catch (const CodeErrorException& e) {
        return e.Message();
    }
    return "<no throw>";
}

EncodeConfig WriterLikeConfig(int width = 1280, int height = 720) {
    EncodeConfig c;
    c.width = c.maxWidth = width;
    c.height = c.maxHeight = height;
    c.fps = 2500;
    c.bitrate = 2000000;
    c.rateControl = 0;
    c.qp = 28;
    c.iQuantFactor = -0.8f;
    c.bQuantFactor = 1.25f;
    c.bQuantOffset = 1.25f;
    c.presetGUID = NvEncPresetHpGuid;
    c.codec = 0;
    c.gopLength = static_cast<int>(NVENC_INFINITE_GOPLENGTH);
    c.pictureStructure = 1;
    c.inputFormat = NV_ENC_BUFFER_FORMAT_NV12;
    return c;
}

class NvHWEncoder : public StubTest {
protected:
    // A session opened and configured like the clip writer does.
    void Open(CNvHWEncoder& enc, EncodeConfig c = WriterLikeConfig()) {
        ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
        ASSERT_EQ(enc.CreateEncoder(&c), NV_ENC_SUCCESS);
    }
    const NV_ENC_INITIALIZE_PARAMS& Init() { return S().initializeParams.back(); }
    const NV_ENC_CONFIG& Config() { return S().initializeConfigs.back(); }
};

}  // namespace

// ---- loading and session open ------------------------------------------------------------------

TEST(NvHWEncoderChild, DISABLED_NoDriver) {
    CNvHWEncoder enc;
    EXPECT_EQ(enc.Initialize(Ctx(), true), NV_ENC_ERR_OUT_OF_MEMORY);
    CNvHWEncoder enc2;
    EXPECT_EQ(enc2.Initialize(Ctx(), false), NV_ENC_ERR_OUT_OF_MEMORY);
    EXPECT_FALSE(enc2.IsSessionOpen());
}

TEST(NvHWEncoderChild, DISABLED_CudaEntryPointMissing) {
    NvStub::Reset();
    {
        CNvHWEncoder enc;
        EXPECT_EQ(enc.Initialize(Ctx(), false), NV_ENC_ERR_OUT_OF_MEMORY);
    }
    EXPECT_EQ(NvStub::Get().Count("nvEncOpenEncodeSessionEx"), 0);
    EXPECT_EQ(NvStub::Get().Count("cuCtxSetCurrent"), 0);
    EXPECT_EQ(NvStub::Get().Live(), 0u);
}

TEST(NvHWEncoderLoading, WithoutDriverInitializeReturns10AndThrowsNothing) {
    if (NvStubHarness::RealDriverPresent()) GTEST_SKIP() << "an NVIDIA driver is installed here";
    std::string out;
    EXPECT_TRUE(NvStubHarness::RunChild("NvHWEncoderChild.DISABLED_NoDriver", "/nonexistent", &out)) << out;
}

TEST(NvHWEncoderLoading, ADriverLackingAnEntryPointIsNoDriver) {
    std::string out;
    EXPECT_TRUE(NvStubHarness::RunChild("NvHWEncoderChild.DISABLED_CudaEntryPointMissing",
                                        std::string(NVSTUB_PARTIAL_DIR) + ":" + NVSTUB_LIB_DIR, &out))
        << out;
}

TEST_F(NvHWEncoder, InitializeSetsTheContextCreatesTheUploadStreamAndOpensACudaSession) {
    {
        CNvHWEncoder enc;
        ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
        EXPECT_TRUE(enc.IsSessionOpen());
        auto names = S().Names();
        ASSERT_GE(names.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
                  (std::vector<std::string>{"cuCtxSetCurrent", "cuStreamCreate", "NvEncodeAPICreateInstance",
                                            "nvEncOpenEncodeSessionEx"}));
        EXPECT_EQ(NvStub::CurrentContext(), Ctx());
        ASSERT_EQ(S().opens.size(), 1u);
        EXPECT_EQ(S().opens[0].device, Ctx());
        EXPECT_EQ(S().opens[0].deviceType, NV_ENC_DEVICE_TYPE_CUDA);
        EXPECT_EQ(S().opens[0].apiVersion, static_cast<uint32_t>(NVENCAPI_VERSION));
        EXPECT_EQ(S().sessions.size(), 1u);
        EXPECT_EQ(S().cuStreams.size(), 1u);
    }
    // The destructor closes what is still open: the session and the upload stream.
    EXPECT_EQ(S().Live(), 0u);
}

TEST_F(NvHWEncoder, ProbeOpensWithoutContextSwitchOrStreamAndReportsAFailedOpen) {
    CNvHWEncoder enc;
    ASSERT_EQ(enc.Initialize(Ctx(), true), NV_ENC_SUCCESS);
    EXPECT_EQ(S().Count("cuCtxSetCurrent"), 0);
    EXPECT_EQ(S().Count("cuStreamCreate"), 0);
    EXPECT_EQ(NvStub::CurrentContext(), nullptr);
    // The session's context is made current for the call (the stand-in refuses it otherwise).
    EXPECT_EQ(enc.NvEncDestroyEncoder(), NV_ENC_SUCCESS);
    EXPECT_FALSE(enc.IsSessionOpen());

    S().faults["nvEncOpenEncodeSessionEx"] = {NV_ENC_ERR_NO_ENCODE_DEVICE, 0};
    CNvHWEncoder failing;
    EXPECT_EQ(failing.Initialize(Ctx(), true), NV_ENC_ERR_NO_ENCODE_DEVICE);
    // Nothing was opened, so nothing is destroyed.
    EXPECT_FALSE(failing.IsSessionOpen());
    EXPECT_EQ(failing.NvEncDestroyEncoder(), NV_ENC_SUCCESS);
    EXPECT_EQ(S().Count("nvEncDestroyEncoder"), 1);
}

TEST_F(NvHWEncoder, InitializeFailuresThrowTheirTextsAndLeakNothing) {
    struct Case {
        const char* call;
        int status;
        const char* text;
    } cases[] = {
        {"cuCtxSetCurrent", 201, "cuCtxSetCurrentProc failed, ret code = 201"},
        {"cuStreamCreate", 2, "cuStreamCreateProc failed to create upload stream, ret code = 2"},
        {"nvEncOpenEncodeSessionEx", 10, "NvEncOpenEncodeSessionEx failed, ret code = 10"},
    };
    for (const auto& c : cases) {
        NvStub::Reset();
        S().faults[c.call] = {c.status, 0};
        ScopedLogCapture capture(0);
        {
            CNvHWEncoder enc;
            EXPECT_EQ(ThrowText([&] { enc.Initialize(Ctx(), false); }), c.text);
            EXPECT_FALSE(enc.IsSessionOpen());
        }
        EXPECT_TRUE(capture.Sink().Contains(std::string("Throw: ") + c.text, 4)) << c.text;
        EXPECT_EQ(S().Live(), 0u) << c.text;
    }
    NvStub::Reset();
    S().faults["NvEncodeAPICreateInstance"] = {NV_ENC_ERR_INVALID_VERSION, 0};
    {
        CNvHWEncoder enc;
        EXPECT_EQ(enc.Initialize(Ctx(), false), NV_ENC_ERR_INVALID_VERSION);
        EXPECT_EQ(S().Count("nvEncOpenEncodeSessionEx"), 0);
    }
    EXPECT_EQ(S().Live(), 0u);
}

// ---- configuration ------------------------------------------------------------------------------

TEST_F(NvHWEncoder, CreateEncoderRefusesBadSizesWithoutInitializing) {
    CNvHWEncoder enc;
    ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
    EXPECT_EQ(enc.CreateEncoder(nullptr), NV_ENC_ERR_INVALID_PARAM);
    auto c = WriterLikeConfig();
    c.width = 0;
    c.maxWidth = 0;
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    c = WriterLikeConfig();
    c.height = 0;
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    c = WriterLikeConfig();
    c.width = c.maxWidth + 1;
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(S().Count("nvEncInitializeEncoder"), 0);
    EXPECT_EQ(S().Count("nvEncGetEncodeGUIDCount"), 0);

    // A maximum below 1 means the picture size.
    c = WriterLikeConfig(640, 480);
    c.maxWidth = 0;
    c.maxHeight = -1;
    ASSERT_EQ(enc.CreateEncoder(&c), NV_ENC_SUCCESS);
    EXPECT_EQ(Init().maxEncodeWidth, 640u);
    EXPECT_EQ(Init().maxEncodeHeight, 480u);
    EXPECT_EQ(enc.MaxWidth(), 640u);
}

TEST_F(NvHWEncoder, TenBitH264AndUnsupportedCodecsAreRefusedOnStandardError) {
    CNvHWEncoder enc;
    ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
    for (int format : {NV_ENC_BUFFER_FORMAT_YUV420_10BIT, NV_ENC_BUFFER_FORMAT_YUV444_10BIT}) {
        auto c = WriterLikeConfig();
        c.inputFormat = format;
        testing::internal::CaptureStderr();
        EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("NvHWEncoder.cpp line "), std::string::npos) << err;
        EXPECT_NE(err.find(": 10 bit is not supported with H264 \n"), std::string::npos) << err;
    }
    S().codecGuids = {NV_ENC_CODEC_HEVC_GUID};
    auto c = WriterLikeConfig();
    testing::internal::CaptureStderr();
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(": codec not supported \n"), std::string::npos);
    S().codecGuids.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("codec not supported"), std::string::npos);
    S().codecGuids = {NV_ENC_CODEC_H264_GUID};
    S().faults["nvEncGetEncodeGUIDs"] = {NV_ENC_ERR_GENERIC, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_GENERIC);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("codec not supported"), std::string::npos);
    S().faults.clear();
    S().faults["nvEncGetEncodeGUIDCount"] = {NV_ENC_ERR_INVALID_PTR, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PTR);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(S().Count("nvEncInitializeEncoder"), 0);
}

TEST_F(NvHWEncoder, ConstantQpSessionOfTheClipWriter) {
    CNvHWEncoder enc;
    Open(enc);
    const auto& p = Init();
    EXPECT_TRUE(SameGuid(p.encodeGUID, NV_ENC_CODEC_H264_GUID));
    EXPECT_TRUE(SameGuid(p.presetGUID, NvEncPresetHpGuid));
    EXPECT_EQ(p.version, static_cast<uint32_t>(NV_ENC_INITIALIZE_PARAMS_VER));
    EXPECT_EQ(p.encodeWidth, 1280u);
    EXPECT_EQ(p.darWidth, 1280u);
    EXPECT_EQ(p.encodeHeight, 720u);
    EXPECT_EQ(p.darHeight, 720u);
    EXPECT_EQ(p.frameRateNum, 2500u);  // 25 frames per second
    EXPECT_EQ(p.frameRateDen, 100u);
    EXPECT_EQ(p.enablePTD, 1u);
    EXPECT_EQ(p.enableEncodeAsync, 0u);  // the stand-in reports no asynchronous mode, as Linux drivers do
    EXPECT_EQ(p.reportSliceOffsets, 0u);
    EXPECT_EQ(p.enableSubFrameWrite, 0u);
    EXPECT_EQ(p.maxEncodeWidth, 1280u);
    EXPECT_EQ(p.maxEncodeHeight, 720u);
    const auto& e = Config();
    EXPECT_EQ(e.version, static_cast<uint32_t>(NV_ENC_CONFIG_VER));
    EXPECT_EQ(e.gopLength, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(e.encodeCodecConfig.h264Config.idrPeriod, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(e.frameIntervalP, 1);
    EXPECT_EQ(e.frameFieldMode, NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME);
    EXPECT_EQ(e.mvPrecision, NV_ENC_MV_PRECISION_QUARTER_PEL);
    EXPECT_EQ(e.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(e.rcParams.constQP.qpInterP, 28u);
    EXPECT_EQ(e.rcParams.constQP.qpInterB, 28u);
    EXPECT_EQ(e.rcParams.constQP.qpIntra, 28u);
    EXPECT_EQ(e.rcParams.averageBitRate, 2000000u);
    EXPECT_EQ(e.rcParams.maxBitRate, 0u);
    EXPECT_EQ(e.rcParams.vbvBufferSize, 0u);
    EXPECT_EQ(e.rcParams.enableInitialRCQP, 0u);
    EXPECT_EQ(e.encodeCodecConfig.h264Config.chromaFormatIDC, 1u);
    // Preset values the configuration does not touch are kept.
    EXPECT_EQ(e.encodeCodecConfig.h264Config.level, 51u);
    EXPECT_EQ(e.rcParams.enableAQ, 1u);
    EXPECT_EQ(S().capsQueried, std::vector<int>{NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT});
}

TEST_F(NvHWEncoder, LosslessPresetZeroesTheConstantQps) {
    CNvHWEncoder enc;
    auto c = WriterLikeConfig();
    c.presetGUID = NvEncPresetLosslessHpGuid;
    c.bitrate = 0;
    Open(enc, c);
    EXPECT_EQ(Config().rcParams.constQP.qpIntra, 0u);
    EXPECT_EQ(Config().rcParams.constQP.qpInterP, 0u);
    EXPECT_EQ(Config().rcParams.constQP.qpInterB, 0u);
    EXPECT_EQ(Config().rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
}

TEST_F(NvHWEncoder, VariableBitRateSetsTheInitialQpsFromTheFactors) {
    for (int mode : {1, 4, 32}) {
        CNvHWEncoder enc;
        auto c = WriterLikeConfig();
        c.rateControl = mode;
        c.peakBitrate = 4000000;
        c.vbvBuffer = 1000001;
        c.bFrames = 2;
        c.pictureStructure = 2;
        Open(enc, c);
        const auto& rc = Config().rcParams;
        EXPECT_EQ(static_cast<int>(rc.rateControlMode), mode);
        EXPECT_EQ(rc.averageBitRate, 2000000u);
        EXPECT_EQ(rc.maxBitRate, 4000000u);
        EXPECT_EQ(rc.vbvBufferSize, 1000001u);
        EXPECT_EQ(rc.vbvInitialDelay, 900000u);
        EXPECT_EQ(rc.enableInitialRCQP, 1u);
        EXPECT_EQ(rc.initialRCQP.qpInterP, 28u);
        EXPECT_EQ(rc.initialRCQP.qpIntra, 22u);   // trunc(28 * 0.8 + 0)
        EXPECT_EQ(rc.initialRCQP.qpInterB, 36u);  // trunc(28 * 1.25 + 1.25)
        EXPECT_EQ(Config().frameIntervalP, 3);
        EXPECT_EQ(Config().frameFieldMode, NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD);
        // Not constant QP: the preset's constant QPs stay.
        EXPECT_EQ(rc.constQP.qpIntra, 0u);
    }
    CNvHWEncoder enc;
    auto c = WriterLikeConfig();
    c.rateControl = 1;
    c.iQuantFactor = 0;
    Open(enc, c);
    EXPECT_EQ(Config().rcParams.initialRCQP.qpIntra, 28u);
    EXPECT_EQ(Config().rcParams.initialRCQP.qpInterB, 28u);
}

TEST_F(NvHWEncoder, HevcOptionsChromaAndBitDepth) {
    CNvHWEncoder enc;
    auto c = WriterLikeConfig();
    c.codec = 1;
    c.inputFormat = NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
    c.intraRefresh = 1;
    c.intraRefreshPeriod = 60;
    c.intraRefreshLength = 5;
    c.refInvalidation = 1;
    c.gopLength = 120;
    int8_t map[4] = {};
    c.qpDeltaMap = map;
    Open(enc, c);
    EXPECT_TRUE(SameGuid(Init().encodeGUID, NV_ENC_CODEC_HEVC_GUID));
    const auto& h = Config().encodeCodecConfig.hevcConfig;
    EXPECT_EQ(h.chromaFormatIDC, 3u);
    EXPECT_EQ(h.pixelBitDepthMinus8, 2u);
    EXPECT_EQ(h.enableIntraRefresh, 1u);
    EXPECT_EQ(h.intraRefreshPeriod, 60u);
    EXPECT_EQ(h.intraRefreshCnt, 5u);
    EXPECT_EQ(h.maxNumRefFramesInDPB, 16u);
    EXPECT_EQ(h.idrPeriod, 120u);
    EXPECT_EQ(Config().gopLength, 120u);
    EXPECT_EQ(Config().rcParams.qpMapMode, NV_ENC_QP_MAP_DELTA);

    CNvHWEncoder h264;
    c = WriterLikeConfig();
    c.inputFormat = NV_ENC_BUFFER_FORMAT_YUV444;
    c.intraRefresh = 1;
    c.intraRefreshPeriod = 30;
    c.intraRefreshLength = 3;
    c.refInvalidation = 1;
    Open(h264, c);
    const auto& a = Config().encodeCodecConfig.h264Config;
    EXPECT_EQ(a.chromaFormatIDC, 3u);
    EXPECT_EQ(a.enableIntraRefresh, 1u);
    EXPECT_EQ(a.intraRefreshPeriod, 30u);
    EXPECT_EQ(a.intraRefreshCnt, 3u);
    EXPECT_EQ(a.maxNumRefFrames, 16u);
}

TEST_F(NvHWEncoder, AsynchronousCapabilityIsReportedBack) {
    S().caps[NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT] = 1;
    CNvHWEncoder enc;
    auto c = WriterLikeConfig();
    Open(enc, c);
    EXPECT_EQ(Init().enableEncodeAsync, 1u);
    EXPECT_EQ(c.asyncMode, 0);  // Open took a copy
    CNvHWEncoder enc2;
    ASSERT_EQ(enc2.Initialize(Ctx(), false), NV_ENC_SUCCESS);
    ASSERT_EQ(enc2.CreateEncoder(&c), NV_ENC_SUCCESS);
    EXPECT_EQ(c.asyncMode, 1);
    // A failing capability query counts as "not supported".
    S().faults["nvEncGetEncodeCaps"] = {NV_ENC_ERR_GENERIC, 0};
    CNvHWEncoder enc3;
    ASSERT_EQ(enc3.Initialize(Ctx(), false), NV_ENC_SUCCESS);
    ASSERT_EQ(enc3.CreateEncoder(&c), NV_ENC_SUCCESS);
    EXPECT_EQ(c.asyncMode, 0);
}

TEST_F(NvHWEncoder, MotionEstimationOnlyAndTemporalAqNeedTheirCapabilities) {
    struct Case {
        bool meOnly;
        std::string capName;
        int cap;
    } cases[] = {{true, "NV_ENC_CAPS_SUPPORT_MEONLY_MODE", NV_ENC_CAPS_SUPPORT_MEONLY_MODE},
                 {false, "NV_ENC_CAPS_SUPPORT_TEMPORAL_AQ", NV_ENC_CAPS_SUPPORT_TEMPORAL_AQ}};
    for (const auto& k : cases) {
        auto c = WriterLikeConfig();
        if (k.meOnly) c.motionEstimationOnly = 2;
        else c.temporalAQ = 1;
        {
            NvStub::Reset();
            ScopedLogCapture capture(0);
            CNvHWEncoder enc;
            ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
            EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_UNSUPPORTED_DEVICE);
            EXPECT_TRUE(capture.Sink().Contains(k.capName + " not supported", 4));
            EXPECT_EQ(S().Count("nvEncInitializeEncoder"), 0);
        }
        {
            NvStub::Reset();
            S().faults["nvEncGetEncodeCaps"] = {NV_ENC_ERR_INVALID_PARAM, 2};  // the second query
            ScopedLogCapture capture(0);
            CNvHWEncoder enc;
            ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
            EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
            EXPECT_TRUE(capture.Sink().Contains("Encode Session Initialization failed, ret code = 8", 4));
        }
        {
            NvStub::Reset();
            S().caps[k.cap] = 1;
            ScopedLogCapture capture(0);
            CNvHWEncoder enc;
            ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
            EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_SUCCESS);
            if (k.meOnly) {
                EXPECT_EQ(Init().enableMEOnlyMode, 1u);
                EXPECT_TRUE(capture.Sink().Contains("NV_ENC_CAPS_SUPPORT_MEONLY_MODE  supported\n", 2));
            } else {
                EXPECT_EQ(Config().rcParams.enableTemporalAQ, 1u);
            }
        }
    }
}

TEST_F(NvHWEncoder, PresetAndInitializeFailuresAreLoggedAndReturned) {
    ScopedLogCapture capture(0);
    S().faults["nvEncGetEncodePresetConfig"] = {NV_ENC_ERR_UNSUPPORTED_PARAM, 0};
    CNvHWEncoder enc;
    ASSERT_EQ(enc.Initialize(Ctx(), false), NV_ENC_SUCCESS);
    auto c = WriterLikeConfig();
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_UNSUPPORTED_PARAM);
    EXPECT_TRUE(capture.Sink().Contains("nvEncGetEncodePresetConfig returned failure, ret code = 12", 4));
    S().faults.clear();
    S().faults["nvEncInitializeEncoder"] = {NV_ENC_ERR_INVALID_PARAM, 0};
    EXPECT_EQ(enc.CreateEncoder(&c), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(capture.Sink().Contains("Encode Session Initialization failed, ret code = 8", 4));
}

// ---- reconfiguration ----------------------------------------------------------------------------

TEST_F(NvHWEncoder, ReconfigureNeedsASizeOrBitRateChangeAndRespectsTheMaximum) {
    CNvHWEncoder enc;
    Open(enc);
    MemoryOutputStream out;
    ReconfigureCommand cmd;
    cmd.frameRateChange = true;
    cmd.newFrameRate = 3000;
    EXPECT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_ERR_INVALID_PARAM);
    cmd = ReconfigureCommand();
    cmd.resolutionChange = true;
    cmd.newWidth = 1281;
    cmd.newHeight = 720;
    EXPECT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(enc.CurrentWidth(), 1280u);
    EXPECT_EQ(S().Count("nvEncReconfigureEncoder"), 0);
}

TEST_F(NvHWEncoder, ReconfigureChangesSizeBitRateAndFrameRateOfTheCopyOnly) {
    CNvHWEncoder enc;
    auto c = WriterLikeConfig();
    c.fps = 15;
    Open(enc, c);
    MemoryOutputStream out;
    ReconfigureCommand cmd;
    cmd.resolutionChange = cmd.bitrateChange = cmd.frameRateChange = true;
    cmd.newWidth = 640;
    cmd.newHeight = 360;
    cmd.newBitrate = 50000000;
    cmd.newFrameRate = 2500;
    ASSERT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_SUCCESS);
    ASSERT_EQ(S().reconfigures.size(), 1u);
    const auto& r = S().reconfigures[0];
    EXPECT_EQ(r.forceIDR, 1u);
    EXPECT_EQ(r.reInitEncodeParams.encodeWidth, 640u);
    EXPECT_EQ(r.reInitEncodeParams.darHeight, 360u);
    EXPECT_EQ(r.reInitEncodeParams.frameRateNum, 2500u);
    EXPECT_EQ(r.reInitEncodeParams.frameRateDen, 100u);
    // The stored parameters keep the creation frame rate; the VBV size derives from it in 32 bits:
    // (100 * 50000000 mod 2^32) / 15.
    EXPECT_EQ(enc.InitializeParams().frameRateNum, 15u);
    EXPECT_EQ(enc.InitializeParams().encodeWidth, 640u);
    const auto& rc = S().reconfigureConfigs[0].rcParams;
    EXPECT_EQ(rc.averageBitRate, 50000000u);
    EXPECT_EQ(rc.maxBitRate, 50000000u);
    EXPECT_EQ(rc.vbvBufferSize, static_cast<uint32_t>(100u * 50000000u) / 15u);
    EXPECT_EQ(rc.vbvInitialDelay, rc.vbvBufferSize);
    EXPECT_EQ(enc.CurrentWidth(), 640u);

    // Bit rate alone: no forced IDR; a given VBV size is used as it is.
    cmd = ReconfigureCommand();
    cmd.bitrateChange = true;
    cmd.newBitrate = 1000;
    cmd.newVbvSize = 777;
    ASSERT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_SUCCESS);
    EXPECT_EQ(S().reconfigures[1].forceIDR, 0u);
    EXPECT_EQ(S().reconfigures[1].reInitEncodeParams.frameRateNum, 15u);
    EXPECT_EQ(S().reconfigureConfigs[1].rcParams.vbvBufferSize, 777u);

    S().faults["nvEncReconfigureEncoder"] = {NV_ENC_ERR_INVALID_PARAM, 0};
    ScopedLogCapture capture(0);
    EXPECT_EQ(ThrowText([&] { enc.NvEncReconfigureEncoder(&cmd, &out); }),
              "nvEncReconfigureEncoder failed, ret code = 8");
    EXPECT_TRUE(capture.Sink().Contains("Throw: nvEncReconfigureEncoder failed, ret code = 8", 4));
}

// ---- slot buffers, upload, submission, output ---------------------------------------------------

namespace {
struct Slot {
    EncodeBuffer b;
};

void AllocateSlot(CNvHWEncoder& enc, EncodeBuffer& b, uint32_t w, uint32_t h) {
    enc.AllocateInternalBuffers(w, h, &b.input.deviceBuffer, &b.input.devicePitch, &b.input.registeredResource,
                                &b.input.hostBuffer, &b.input.copyDoneEvent);
    b.input.width = w;
    b.input.height = h;
    b.input.hostPitch = w + (w & 1u);
    b.input.bufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
    enc.NvEncCreateBitstreamBuffer(w * h * 2, &b.output.bitstreamBuffer);
}

void ReleaseSlot(CNvHWEncoder& enc, EncodeBuffer& b) {
    enc.ReleaseInternalBuffers(b.input.deviceBuffer, b.input.registeredResource, b.input.hostBuffer,
                               b.input.copyDoneEvent);
    enc.NvEncDestroyBitstreamBuffer(b.output.bitstreamBuffer);
    b = EncodeBuffer();
}
}  // namespace

TEST_F(NvHWEncoder, SlotBuffersNeedASessionAndAreRequestedAsNv12) {
    CNvHWEncoder closed;
    CUdeviceptr d = 0;
    size_t pitch = 0;
    NV_ENC_REGISTERED_PTR reg = nullptr;
    unsigned char* host = nullptr;
    CUevent ev = nullptr;
    EXPECT_EQ(ThrowText([&] { closed.AllocateInternalBuffers(64, 64, &d, &pitch, &reg, &host, &ev); }),
              "AllocateInternalBuffers called before encoder initialization");
    EXPECT_EQ(ThrowText([&] { closed.ReleaseInternalBuffers(d, reg, host, ev); }),
              "ReleaseInternalBuffers called before encoder initialization");

    CNvHWEncoder enc;
    Open(enc);
    ASSERT_TRUE(enc.AllocateInternalBuffers(1280, 721, &d, &pitch, &reg, &host, &ev));
    auto alloc = S().calls[S().calls.size() - 4];
    EXPECT_EQ(alloc.name, "cuMemAllocPitch_v2");
    EXPECT_EQ(alloc.args, (std::vector<uint64_t>{1280, 721 + 361, 16}));
    EXPECT_EQ(S().calls[S().calls.size() - 3].name, "cuMemAllocHost_v2");
    EXPECT_EQ(S().calls[S().calls.size() - 3].args, std::vector<uint64_t>{1280u * 721u * 2u});
    ASSERT_EQ(S().registrations.size(), 1u);
    const auto& r = S().registrations[0];
    EXPECT_EQ(r.resourceType, NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR);
    EXPECT_EQ(r.resourceToRegister, reinterpret_cast<void*>(d));
    EXPECT_EQ(r.width, 1280u);
    EXPECT_EQ(r.height, 721u);
    EXPECT_EQ(r.pitch, pitch);
    EXPECT_EQ(r.subResourceIndex, 0u);
    EXPECT_EQ(r.bufferFormat, NV_ENC_BUFFER_FORMAT_NV12);
    ASSERT_EQ(S().eventCreates.size(), 1u);
    EXPECT_EQ(S().eventCreates[0].second, static_cast<unsigned>(CU_EVENT_DISABLE_TIMING));
    EXPECT_EQ(S().eventCreates[0].first, ev);
    enc.ReleaseInternalBuffers(d, reg, host, ev);
    EXPECT_TRUE(S().deviceAllocations.empty());
    EXPECT_TRUE(S().hostAllocations.empty());
    EXPECT_TRUE(S().registered.empty());
    EXPECT_TRUE(S().cuEvents.empty());

    // An odd width gets room for whole chroma pairs.
    ASSERT_TRUE(enc.AllocateInternalBuffers(3, 3, &d, &pitch, &reg, &host, &ev));
    EXPECT_EQ(S().calls[S().calls.size() - 4].args, (std::vector<uint64_t>{4, 5, 16}));
    EXPECT_EQ(S().calls[S().calls.size() - 3].args, std::vector<uint64_t>{20});
    enc.ReleaseInternalBuffers(d, reg, host, ev);
}

TEST_F(NvHWEncoder, SlotAllocationFailuresThrowTheirTextsAndLeakNothing) {
    struct Case {
        const char* call;
        int status;
        const char* text;
    } cases[] = {
        {"cuMemAllocPitch_v2", 2, "cuMemAllocPitchProc failed, ret code = 2"},
        {"cuMemAllocHost_v2", 2, "cuMemAllocHostProc failed, ret code = 2"},
        {"nvEncRegisterResource", 10, "nvEncRegisterResource failed, ret code = 10"},
        {"nvEncCreateBitstreamBuffer", 10, "nvEncCreateBitstreamBuffer failed, ret code = 10"},
    };
    for (const auto& c : cases) {
        NvStub::Reset();
        {
            CNvHWEncoder enc;
            Open(enc);
            S().faults[c.call] = {c.status, 0};
            EncodeBuffer b;
            EXPECT_EQ(ThrowText([&] { AllocateSlot(enc, b, 64, 48); }), c.text);
            // Whatever the slot got before the failure is released by its owner.
            S().faults.clear();
            if (b.input.registeredResource) ReleaseSlot(enc, b);
            EXPECT_EQ(S().deviceAllocations.size() + S().hostAllocations.size() + S().registered.size(), 0u)
                << c.text;
        }
        EXPECT_EQ(S().Live(), 0u) << c.text;
    }
}

TEST_F(NvHWEncoder, SlotReleaseFailuresThrowTheirTextsButReleaseEverything) {
    struct Case {
        const char* call;
        int status;
        const char* text;
    } cases[] = {
        {"cuMemFree_v2", 1, "cuMemFreeProc failed, ret code = 1"},
        {"cuMemFreeHost", 1, "cuMemFreeHostProc failed, ret code = 1"},
        {"nvEncUnregisterResource", 20, "nvEncUnregisterResource failed, ret code = 20"},
        {"cuEventDestroy_v2", 400, "cuEventDestroyProc failed, ret code = 400"},
        {"nvEncDestroyBitstreamBuffer", 20, "nvEncDestroyBitstreamBuffer failed, ret code = 20"},
    };
    for (const auto& c : cases) {
        NvStub::Reset();
        CNvHWEncoder enc;
        Open(enc);
        EncodeBuffer b;
        AllocateSlot(enc, b, 64, 48);
        S().faults[c.call] = {c.status, 1};
        std::string text = ThrowText([&] {
            enc.ReleaseInternalBuffers(b.input.deviceBuffer, b.input.registeredResource, b.input.hostBuffer,
                                       b.input.copyDoneEvent);
            enc.NvEncDestroyBitstreamBuffer(b.output.bitstreamBuffer);
        });
        EXPECT_EQ(text, c.text);
        // A failure reported by the stand-in left that one resource in place; all others are gone.
        size_t left = S().deviceAllocations.size() + S().hostAllocations.size() + S().registered.size() +
                      S().cuEvents.size();
        EXPECT_LE(left, 1u) << c.text;
        NvStub::Reset();
    }
}

TEST_F(NvHWEncoder, UploadCopiesLumaAndChromaOnTheUploadStreamThenRecordsTheEvent) {
    CNvHWEncoder enc;
    Open(enc);
    EncodeBuffer b;
    AllocateSlot(enc, b, 64, 48);
    for (uint32_t i = 0; i < 64 * 72; ++i) b.input.hostBuffer[i] = static_cast<unsigned char>(i * 7);
    size_t chromaOffset = 48 * b.input.devicePitch;
    S().calls.clear();
    enc.CopyToDeviceFrame(b.input.hostBuffer, 64, b.input.deviceBuffer, b.input.devicePitch, 64, 47, chromaOffset,
                          b.input.copyDoneEvent);
    ASSERT_EQ(S().Names(), (std::vector<std::string>{"cuMemcpy2DAsync_v2", "cuMemcpy2DAsync_v2", "cuEventRecord"}));
    ASSERT_EQ(S().copies.size(), 2u);
    const auto& y = S().copies[0];
    const auto& uv = S().copies[1];
    void* stream = reinterpret_cast<void*>(S().calls[0].args[6]);
    EXPECT_NE(stream, nullptr);
    EXPECT_TRUE(S().cuStreams.count(stream));
    EXPECT_EQ(y.srcHost, b.input.hostBuffer);
    EXPECT_EQ(y.Height, 47u);
    EXPECT_EQ(y.WidthInBytes, 64u);
    EXPECT_EQ(y.srcPitch, 64u);
    EXPECT_EQ(y.dstPitch, b.input.devicePitch);
    EXPECT_EQ(uv.srcHost, b.input.hostBuffer + 64 * 47);
    EXPECT_EQ(uv.dstDevice, b.input.deviceBuffer + chromaOffset);
    EXPECT_EQ(uv.Height, 24u);
    EXPECT_EQ(S().calls[2].args, (std::vector<uint64_t>{reinterpret_cast<uintptr_t>(b.input.copyDoneEvent),
                                                         reinterpret_cast<uintptr_t>(stream)}));
    EXPECT_FALSE(S().boundsViolation);

    struct Case {
        const char* call;
        int onCall;
        const char* text;
    } cases[] = {{"cuMemcpy2DAsync_v2", 1, "cuMemcpy2DAsyncProc failed, ret code = 700"},
                 {"cuMemcpy2DAsync_v2", 2, "cuMemcpy2DAsyncProc failed, ret code = 700"},
                 {"cuEventRecord", 1, "cuEventRecordProc failed, ret code = 700"},
                 {"cuCtxPushCurrent_v2", 1, "cuCtxPushCurrent failed, ret code = 700"}};
    for (const auto& c : cases) {
        S().callCounts.clear();
        S().faults.clear();
        S().faults[c.call] = {700, c.onCall};
        EXPECT_EQ(ThrowText([&] {
                      enc.CopyToDeviceFrame(b.input.hostBuffer, 64, b.input.deviceBuffer, b.input.devicePitch, 64,
                                            48, chromaOffset, b.input.copyDoneEvent);
                  }),
                  c.text);
    }
    S().faults.clear();
    ReleaseSlot(enc, b);
}

// The input stays mapped while the encoder may read it: it is unmapped once its output was locked.
TEST_F(NvHWEncoder, SubmissionMapsEncodesAndUnmapsAfterTheOutputLockWithForcedIdrFlags) {
    CNvHWEncoder enc;
    Open(enc);
    MemoryOutputStream out;
    ReconfigureCommand cmd;
    cmd.resolutionChange = cmd.bitrateChange = true;
    cmd.newWidth = 64;
    cmd.newHeight = 48;
    ASSERT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_SUCCESS);
    EncodeBuffer b;
    AllocateSlot(enc, b, 64, 48);
    S().calls.clear();
    ASSERT_EQ(enc.NvEncEncodeFrame(&b, 64, 48, true, b.input.copyDoneEvent, 1), NV_ENC_SUCCESS);
    EXPECT_EQ(S().Names(),
              (std::vector<std::string>{"cuStreamWaitEvent", "nvEncMapInputResource", "nvEncEncodePicture"}));
    EXPECT_EQ(S().calls[0].args[0], 0u);  // the default stream waits for the upload
    EXPECT_EQ(S().calls[0].args[1], reinterpret_cast<uintptr_t>(b.input.copyDoneEvent));
    const auto& p = S().pictures.back();
    EXPECT_EQ(p.encodePicFlags, 6u);
    EXPECT_EQ(p.inputWidth, 64u);
    EXPECT_EQ(p.inputHeight, 48u);
    EXPECT_EQ(p.inputTimeStamp, 0u);
    EXPECT_EQ(p.inputDuration, 0u);
    EXPECT_EQ(p.outputBitstream, b.output.bitstreamBuffer);
    EXPECT_EQ(p.completionEvent, nullptr);
    EXPECT_EQ(p.bufferFmt, NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_EQ(p.pictureStruct, NV_ENC_PIC_STRUCT_FRAME);
    EXPECT_EQ(S().mapped.size(), 1u);
    S().calls.clear();
    ASSERT_EQ(enc.ProcessOutput(&b), NV_ENC_SUCCESS);
    EXPECT_EQ(S().Names(), (std::vector<std::string>{"nvEncLockBitstream", "nvEncUnlockBitstream",
                                                     "nvEncUnmapInputResource"}));
    EXPECT_EQ(b.input.mappedInput, nullptr);
    EXPECT_TRUE(S().mapped.empty());
    ASSERT_EQ(enc.NvEncEncodeFrame(&b, 64, 48, false, b.input.copyDoneEvent, 1), NV_ENC_SUCCESS);
    EXPECT_EQ(S().pictures.back().encodePicFlags, 0u);
    EXPECT_EQ(S().pictures.back().inputTimeStamp, 1u);
    ASSERT_EQ(enc.ProcessOutput(&b), NV_ENC_SUCCESS);
    EXPECT_EQ(enc.FrameCount(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.GetBuffer()), out.GetSize()),
              NvStub::DefaultPayload(0, 6) + NvStub::DefaultPayload(1, 0));

    struct Case {
        const char* call;
        int status;
        const char* text;
    } cases[] = {{"cuStreamWaitEvent", 400, "cuStreamWaitEventProc failed, ret code = 400"},
                 {"nvEncMapInputResource", 8, "nvEncMapInputResource failed, ret code = 8"},
                 {"nvEncEncodePicture", 20, "nvEncEncodePicture API failed with staus 20"}};
    for (const auto& c : cases) {
        S().faults.clear();
        S().faults[c.call] = {c.status, 0};
        EXPECT_EQ(ThrowText([&] { enc.NvEncEncodeFrame(&b, 64, 48, false, b.input.copyDoneEvent, 1); }), c.text);
        // A picture that was not taken leaves no mapping behind.
        EXPECT_TRUE(S().mapped.empty()) << c.call;
    }
    // A failed unmapping is reported by ProcessOutput; the slot's next picture unmaps the input first.
    S().faults.clear();
    ASSERT_EQ(enc.NvEncEncodeFrame(&b, 64, 48, false, b.input.copyDoneEvent, 1), NV_ENC_SUCCESS);
    S().faults["nvEncUnmapInputResource"] = {8, 0};
    ScopedLogCapture capture(0);
    EXPECT_EQ(enc.ProcessOutput(&b), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(capture.Sink().Contains("nvEncUnmapInputResource failed, ret code = 8", 4));
    S().faults.clear();
    ASSERT_EQ(enc.NvEncEncodeFrame(&b, 64, 48, false, b.input.copyDoneEvent, 1), NV_ENC_SUCCESS);
    EXPECT_EQ(S().mapped.size(), 1u);
    ASSERT_EQ(enc.ProcessOutput(&b), NV_ENC_SUCCESS);
    EXPECT_TRUE(S().mapped.empty());
    EXPECT_EQ(enc.FrameCount(), 4u);
    ReleaseSlot(enc, b);
}

TEST_F(NvHWEncoder, EndOfStreamAndOutputRules) {
    CNvHWEncoder enc;
    Open(enc);
    MemoryOutputStream out;
    ReconfigureCommand cmd;
    cmd.resolutionChange = cmd.bitrateChange = true;
    cmd.newWidth = cmd.newHeight = 32;
    ASSERT_EQ(enc.NvEncReconfigureEncoder(&cmd, &out), NV_ENC_SUCCESS);

    ASSERT_EQ(enc.NvEncFlushEncoderQueue(nullptr), NV_ENC_SUCCESS);
    EXPECT_EQ(S().pictures.back().encodePicFlags, static_cast<uint32_t>(NV_ENC_PIC_FLAG_EOS));
    EXPECT_EQ(S().pictures.back().completionEvent, nullptr);
    S().faults["nvEncEncodePicture/EOS"] = {20, 0};
    EXPECT_EQ(ThrowText([&] { enc.NvEncFlushEncoderQueue(nullptr); }), "nvEncEncodePicture failed");
    S().faults.clear();

    EncodeBuffer empty;
    EXPECT_EQ(enc.ProcessOutput(&empty), NV_ENC_ERR_INVALID_PARAM);
    EncodeBuffer waitsWithoutEvent;
    waitsWithoutEvent.output.endOfStream = true;
    waitsWithoutEvent.output.waitOnEvent = true;
    EXPECT_EQ(enc.ProcessOutput(&waitsWithoutEvent), NV_ENC_ERR_INVALID_PARAM);

    // The end-of-stream record waits for its event and writes nothing.
    EncodeBuffer eos;
    eos.output.endOfStream = true;
    eos.output.waitOnEvent = true;
    ASSERT_EQ(enc.NvEncRegisterAsyncEvent(&eos.output.outputEvent), NV_ENC_SUCCESS);
    ASSERT_EQ(enc.NvEncFlushEncoderQueue(eos.output.outputEvent), NV_ENC_SUCCESS);
    EXPECT_EQ(S().pictures.back().completionEvent, eos.output.outputEvent->NativeHandle());
    EXPECT_EQ(enc.ProcessOutput(&eos), NV_ENC_SUCCESS);
    EXPECT_EQ(out.GetSize(), 0u);
    // The event was consumed: it is an auto-reset event.
    EXPECT_FALSE(eos.output.outputEvent->Wait(std::chrono::milliseconds(0)));
    EXPECT_EQ(enc.NvEncUnregisterAsyncEvent(eos.output.outputEvent), NV_ENC_SUCCESS);
    EXPECT_TRUE(S().asyncEvents.empty());

    EncodeBuffer b;
    AllocateSlot(enc, b, 32, 32);
    ASSERT_EQ(enc.NvEncEncodeFrame(&b, 32, 32, false, b.input.copyDoneEvent, 1), NV_ENC_SUCCESS);
    S().faults["nvEncLockBitstream"] = {20, 0};
    ScopedLogCapture capture(0);
    EXPECT_EQ(enc.ProcessOutput(&b), NV_ENC_ERR_GENERIC);
    EXPECT_TRUE(capture.Sink().Contains("lock bitstream function failed 20", 4));
    EXPECT_EQ(out.GetSize(), 0u);
    EXPECT_TRUE(S().mapped.empty());  // the input is given back all the same
    S().faults.clear();
    S().faults["nvEncUnlockBitstream"] = {8, 0};
    EXPECT_EQ(enc.ProcessOutput(&b), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(out.GetSize(), NvStub::DefaultPayload(0, 0).size());
    S().faults.clear();
    S().bitstreams[b.output.bitstreamBuffer].locked = false;
    ReleaseSlot(enc, b);
}

TEST_F(NvHWEncoder, WrappersSkipNullHandlesAndThrowTheirTexts) {
    CNvHWEncoder enc;
    Open(enc);
    S().calls.clear();
    EXPECT_EQ(enc.NvEncDestroyBitstreamBuffer(nullptr), NV_ENC_SUCCESS);
    EXPECT_EQ(enc.NvEncUnmapInputResource(nullptr), NV_ENC_SUCCESS);
    EXPECT_EQ(enc.NvEncUnregisterAsyncEvent(nullptr), NV_ENC_SUCCESS);
    EXPECT_TRUE(S().calls.empty());

    NV_ENC_OUTPUT_PTR bs = nullptr;
    ASSERT_EQ(enc.NvEncCreateBitstreamBuffer(4096, &bs), NV_ENC_SUCCESS);
    EXPECT_EQ(S().bitstreamCreates.back().size, 4096u);
    EXPECT_EQ(S().bitstreamCreates.back().memoryHeap, NV_ENC_MEMORY_HEAP_SYSMEM_CACHED);

    NvEncEvent* ev = nullptr;
    S().faults["nvEncRegisterAsyncEvent"] = {10, 0};
    EXPECT_EQ(ThrowText([&] { enc.NvEncRegisterAsyncEvent(&ev); }), "nvEncRegisterAsyncEvent failed, ret code = 10");
    EXPECT_EQ(ev, nullptr);
    S().faults.clear();
    ASSERT_EQ(enc.NvEncRegisterAsyncEvent(&ev), NV_ENC_SUCCESS);
    S().faults["nvEncUnregisterAsyncEvent"] = {8, 0};
    EXPECT_EQ(ThrowText([&] { enc.NvEncUnregisterAsyncEvent(ev); }), "nvEncUnregisterAsyncEvent failed, ret code = 8");
    S().faults["nvEncUnregisterResource"] = {8, 0};
    EXPECT_EQ(ThrowText([&] { enc.NvEncUnregisterResource(reinterpret_cast<NV_ENC_REGISTERED_PTR>(8)); }),
              "nvEncUnregisterResource failed, ret code = 8");
    S().faults.clear();
    EXPECT_EQ(enc.NvEncDestroyBitstreamBuffer(bs), NV_ENC_SUCCESS);
    S().asyncEvents.clear();
}

TEST(NvEncEvent, AutoResetSignalAndTimeout) {
    NvEncEvent ev;
    EXPECT_NE(ev.NativeHandle(), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ev.Wait(std::chrono::milliseconds(50)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    ev.Signal();
    ev.Signal();
    EXPECT_TRUE(ev.Wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(ev.Wait(std::chrono::milliseconds(0)));
    NvStub::SignalHandle(ev.NativeHandle());
    ev.Wait();
    EXPECT_FALSE(ev.Wait(std::chrono::milliseconds(0)));
}
