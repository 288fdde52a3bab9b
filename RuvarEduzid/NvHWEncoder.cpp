#include "RuvarEduzid/NvHWEncoder.h"

#include "Common/Exception.h"
#include "Common/Logger.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

const GUID NvEncPresetHpGuid = {0x60e4c59f, 0xe846, 0x4484, {0xa5, 0x6d, 0xcd, 0x45, 0xbe, 0x9f, 0xdd, 0xf6}};
const GUID NvEncPresetLosslessHpGuid = {0x149998e7, 0x2364, 0x411d, {0x82, 0xef, 0x17, 0x98, 0x88, 0x09, 0x34, 0x09}};

namespace {

const char* const EncoderLibraryName = "libnvidia-encode.so.1";
const char* const CudaLibraryName = "libcuda.so.1";

using CreateInstanceFn = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

template <typename Fn>
void Resolve(void* library, const char* name, Fn& target) {
    target = library ? reinterpret_cast<Fn>(dlsym(library, name)) : nullptr;
}

// NV12 rows hold whole chroma pairs: an odd width takes one more byte.
uint32_t EvenWidth(uint32_t width) {
    return width + (width & 1u);
}

// Pushes the session's context onto the calling thread's context stack for the scope's lifetime;
// the thread's own current context is back afterwards.
class ContextScope {
public:
    ContextScope(const CNvHWEncoder::CudaApi& api, CUcontext context) : m_api(api) {
        if (context && api.ctxPushCurrent && api.ctxPopCurrent) {
            m_result = api.ctxPushCurrent(context);
            m_pushed = m_result == CUDA_SUCCESS;
        }
    }
    ~ContextScope() {
        if (m_pushed) {
            CUcontext popped = nullptr;
            m_api.ctxPopCurrent(&popped);
        }
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

    bool Failed() const { return m_result != CUDA_SUCCESS; }
    int Result() const { return static_cast<int>(m_result); }
    void ThrowIfFailed() const {
        if (Failed()) {
            HALVORA_THROW("cuCtxPushCurrent failed, ret code = " << Result());
        }
    }

private:
    const CNvHWEncoder::CudaApi& m_api;
    CUresult m_result = CUDA_SUCCESS;
    bool m_pushed = false;
};

// The NVENC call `name` made by `call`, with the session's CUDA context current on this thread; a
// failed call throws "<name> failed, ret code = N".
template <typename Call>
NVENCSTATUS Checked(const CNvHWEncoder::CudaApi& cuda, CUcontext context, const char* name, Call&& call) {
    ContextScope scope(cuda, context);
    scope.ThrowIfFailed();
    const NVENCSTATUS status = call();
    if (status != NV_ENC_SUCCESS) HALVORA_THROW(name << " failed, ret code = " << static_cast<int>(status));
    return status;
}

}  // namespace

CNvHWEncoder::CNvHWEncoder() {
    std::memset(&m_stCreateEncodeParams, 0, sizeof(m_stCreateEncodeParams));
    m_stCreateEncodeParams.version = NV_ENC_INITIALIZE_PARAMS_VER;
    std::memset(&m_stEncodeConfig, 0, sizeof(m_stEncodeConfig));
    m_stEncodeConfig.version = NV_ENC_CONFIG_VER;
}

CNvHWEncoder::~CNvHWEncoder() {
    {
        ContextScope scope(m_cuda, m_cuContext);
        // A session still open here (a failed set-up, a probe) is closed rather than left to the driver.
        if (m_bEncoderInitialized && m_pEncodeAPI && m_pEncodeAPI->nvEncDestroyEncoder) {
            m_pEncodeAPI->nvEncDestroyEncoder(m_hEncoder);
        }
        m_bEncoderInitialized = false;
        m_hEncoder = nullptr;
        DestroyUploadStream();
    }
    delete m_pEncodeAPI;
    m_pEncodeAPI = nullptr;
    if (m_hinstLib) {
        dlclose(m_hinstLib);
    }
    if (m_hinstCudaLib) {
        dlclose(m_hinstCudaLib);
    }
}

void CNvHWEncoder::DestroyUploadStream() {
    if (m_cuUploadStream && m_cuda.streamDestroy) {
        ContextScope scope(m_cuda, m_cuContext);
        m_cuda.streamDestroy(m_cuUploadStream);
    }
    m_cuUploadStream = nullptr;
}

NVENCSTATUS CNvHWEncoder::Initialize(CUcontext context, bool probeOnly) {
    m_cuContext = context;
    if (!m_hinstLib) {
        m_hinstLib = dlopen(EncoderLibraryName, RTLD_NOW | RTLD_LOCAL);
    }
    if (!m_hinstCudaLib) {
        m_hinstCudaLib = dlopen(CudaLibraryName, RTLD_NOW | RTLD_LOCAL);
    }
    if (!m_hinstLib) {
        HLOG_DEBUG << EncoderLibraryName << " is not available: " << dlerror();
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }

    CreateInstanceFn createInstance = nullptr;
    Resolve(m_hinstLib, "NvEncodeAPICreateInstance", createInstance);
    CudaApi& c = m_cuda;
    Resolve(m_hinstCudaLib, "cuMemAllocPitch_v2", c.memAllocPitch);
    Resolve(m_hinstCudaLib, "cuCtxSetCurrent", c.ctxSetCurrent);
    Resolve(m_hinstCudaLib, "cuMemcpy2D_v2", c.memcpy2D);
    Resolve(m_hinstCudaLib, "cuMemcpy2DAsync_v2", c.memcpy2DAsync);
    Resolve(m_hinstCudaLib, "cuStreamCreate", c.streamCreate);
    Resolve(m_hinstCudaLib, "cuStreamSynchronize", c.streamSynchronize);
    Resolve(m_hinstCudaLib, "cuMemFree_v2", c.memFree);
    Resolve(m_hinstCudaLib, "cuMemFreeHost", c.memFreeHost);
    Resolve(m_hinstCudaLib, "cuCtxGetCurrent", c.ctxGetCurrent);
    Resolve(m_hinstCudaLib, "cuMemAllocHost_v2", c.memAllocHost);
    Resolve(m_hinstCudaLib, "cuEventCreate", c.eventCreate);
    Resolve(m_hinstCudaLib, "cuEventDestroy_v2", c.eventDestroy);
    Resolve(m_hinstCudaLib, "cuEventRecord", c.eventRecord);
    Resolve(m_hinstCudaLib, "cuStreamWaitEvent", c.streamWaitEvent);
    Resolve(m_hinstCudaLib, "cuStreamDestroy_v2", c.streamDestroy);
    Resolve(m_hinstCudaLib, "cuCtxPushCurrent_v2", c.ctxPushCurrent);
    Resolve(m_hinstCudaLib, "cuCtxPopCurrent_v2", c.ctxPopCurrent);

    // Every entry point the session calls must be there; a driver without one is no driver.
    if (!createInstance || !c.memAllocPitch || !c.ctxSetCurrent || !c.memcpy2D || !c.memcpy2DAsync ||
        !c.streamCreate || !c.streamSynchronize || !c.memFree || !c.memFreeHost || !c.ctxGetCurrent ||
        !c.memAllocHost || !c.eventCreate || !c.eventDestroy || !c.eventRecord || !c.streamWaitEvent ||
        !c.ctxPushCurrent || !c.ctxPopCurrent) {
        HLOG_DEBUG << "The NVIDIA driver libraries lack an entry point";
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }

    if (!probeOnly) {
        const CUresult ret = c.ctxSetCurrent(context);
        if (ret != CUDA_SUCCESS) {
            HALVORA_THROW("cuCtxSetCurrentProc failed, ret code = " << static_cast<int>(ret));
        }
    }
    // A probe leaves the caller's current context alone; the session's own is pushed meanwhile.
    ContextScope scope(c, context);
    if (!probeOnly) {
        scope.ThrowIfFailed();
        DestroyUploadStream();
        const CUresult ret = c.streamCreate(&m_cuUploadStream, 0);
        if (ret != CUDA_SUCCESS) {
            m_cuUploadStream = nullptr;
            HALVORA_THROW("cuStreamCreateProc failed to create upload stream, ret code = " << static_cast<int>(ret));
        }
    }

    delete m_pEncodeAPI;
    m_pEncodeAPI = new NV_ENCODE_API_FUNCTION_LIST();
    std::memset(m_pEncodeAPI, 0, sizeof(NV_ENCODE_API_FUNCTION_LIST));
    m_pEncodeAPI->version = NV_ENCODE_API_FUNCTION_LIST_VER;
    NVENCSTATUS status = createInstance(m_pEncodeAPI);
    if (status != NV_ENC_SUCCESS) {
        return status;
    }

    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS openParams;
    std::memset(&openParams, 0, sizeof(openParams));
    openParams.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    openParams.device = context;
    openParams.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    openParams.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    status = m_pEncodeAPI->nvEncOpenEncodeSessionEx(&openParams, &encoder);
    if (status != NV_ENC_SUCCESS) {
        if (!probeOnly) {
            HALVORA_THROW("NvEncOpenEncodeSessionEx failed, ret code = " << static_cast<int>(status));
        }
        return status;
    }
    m_hEncoder = encoder;
    m_bEncoderInitialized = true;
    return status;
}

NVENCSTATUS CNvHWEncoder::QueryCap(NV_ENC_CAPS cap, int* value) {
    NV_ENC_CAPS_PARAM capsParam;
    std::memset(&capsParam, 0, sizeof(capsParam));
    capsParam.version = NV_ENC_CAPS_PARAM_VER;
    capsParam.capsToQuery = cap;
    return m_pEncodeAPI->nvEncGetEncodeCaps(m_hEncoder, m_stEncodeGUID, &capsParam, value);
}

NVENCSTATUS CNvHWEncoder::CreateEncoder(EncodeConfig* config) {
    if (!config) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (config->width <= 0 || config->height <= 0) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    m_uCurWidth = static_cast<uint32_t>(config->width);
    m_uCurHeight = static_cast<uint32_t>(config->height);
    m_uMaxWidth = static_cast<uint32_t>(config->maxWidth > 0 ? config->maxWidth : config->width);
    m_uMaxHeight = static_cast<uint32_t>(config->maxHeight > 0 ? config->maxHeight : config->height);
    if (m_uCurWidth > m_uMaxWidth || m_uCurHeight > m_uMaxHeight || config->width == 0 || config->height == 0) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    const bool tenBit = config->inputFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT ||
                        config->inputFormat == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
    if (tenBit && config->codec == 0) {
        std::fprintf(stderr, "%s line %d: 10 bit is not supported with H264 \n", __FILE__, __LINE__);
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (!m_bEncoderInitialized || !m_pEncodeAPI) {
        return NV_ENC_ERR_NO_ENCODE_DEVICE;
    }
    ContextScope scope(m_cuda, m_cuContext);
    if (scope.Failed()) {
        HLOG_ERROR << "cuCtxPushCurrent failed, ret code = " << scope.Result();
        return NV_ENC_ERR_INVALID_DEVICE;
    }

    m_stEncodeGUID = config->codec == 1 ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;
    uint32_t guidCount = 0;
    NVENCSTATUS status = m_pEncodeAPI->nvEncGetEncodeGUIDCount(m_hEncoder, &guidCount);
    if (status != NV_ENC_SUCCESS) {
        std::fprintf(stderr, "%s line %d: codec not supported \n", __FILE__, __LINE__);
        return status;
    }
    std::vector<GUID> guids(guidCount);
    uint32_t returned = 0;
    if (guidCount > 0) {
        status = m_pEncodeAPI->nvEncGetEncodeGUIDs(m_hEncoder, guids.data(), guidCount, &returned);
        if (status != NV_ENC_SUCCESS) {
            std::fprintf(stderr, "%s line %d: codec not supported \n", __FILE__, __LINE__);
            return status;
        }
    }
    returned = std::min(returned, guidCount);
    bool found = false;
    for (uint32_t i = 0; i < returned; ++i) {
        found = found || SameGuid(guids[i], m_stEncodeGUID);
    }
    if (!found) {
        std::fprintf(stderr, "%s line %d: codec not supported \n", __FILE__, __LINE__);
        return NV_ENC_ERR_INVALID_PARAM;
    }

    NV_ENC_INITIALIZE_PARAMS& p = m_stCreateEncodeParams;
    p.encodeGUID = m_stEncodeGUID;
    p.presetGUID = config->presetGUID;
    p.encodeWidth = p.darWidth = static_cast<uint32_t>(config->width);
    p.encodeHeight = p.darHeight = static_cast<uint32_t>(config->height);
    p.frameRateNum = static_cast<uint32_t>(config->fps);
    p.frameRateDen = 100;
    p.enableEncodeAsync = 1;
    p.enablePTD = 1;
    p.reportSliceOffsets = 0;
    p.enableSubFrameWrite = 0;
    p.encodeConfig = &m_stEncodeConfig;
    p.maxEncodeWidth = m_uMaxWidth;
    p.maxEncodeHeight = m_uMaxHeight;

    NV_ENC_PRESET_CONFIG presetConfig;
    std::memset(&presetConfig, 0, sizeof(presetConfig));
    presetConfig.version = NV_ENC_PRESET_CONFIG_VER;
    presetConfig.presetCfg.version = NV_ENC_CONFIG_VER;
    status = m_pEncodeAPI->nvEncGetEncodePresetConfig(m_hEncoder, m_stEncodeGUID, config->presetGUID, &presetConfig);
    if (status != NV_ENC_SUCCESS) {
        HLOG_ERROR << "nvEncGetEncodePresetConfig returned failure, ret code = " << static_cast<int>(status);
        return status;
    }
    std::memcpy(&m_stEncodeConfig, &presetConfig.presetCfg, sizeof(NV_ENC_CONFIG));

    NV_ENC_CONFIG& e = m_stEncodeConfig;
    NV_ENC_RC_PARAMS& rc = e.rcParams;
    e.gopLength = static_cast<uint32_t>(config->gopLength);
    e.frameIntervalP = config->bFrames + 1;
    e.frameFieldMode =
        config->pictureStructure == 1 ? NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME : NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD;
    e.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;

    if (config->bitrate != 0 || config->peakBitrate != 0) {
        rc.rateControlMode = static_cast<NV_ENC_PARAMS_RC_MODE>(config->rateControl);
        rc.averageBitRate = static_cast<uint32_t>(config->bitrate);
        rc.maxBitRate = static_cast<uint32_t>(config->peakBitrate);
        rc.vbvBufferSize = static_cast<uint32_t>(config->vbvBuffer);
        rc.vbvInitialDelay = static_cast<uint32_t>(config->vbvBuffer * 9 / 10);
    } else {
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    }
    if (config->rateControl == 0) {
        const uint32_t qp = SameGuid(config->presetGUID, NvEncPresetLosslessHpGuid) ? 0u
                                                                                   : static_cast<uint32_t>(config->qp);
        rc.constQP.qpInterP = rc.constQP.qpInterB = rc.constQP.qpIntra = qp;
    }
    // Variable bit rate (1), variable bit rate with minimum QP (4) and two-pass variable bit rate (32).
    if (config->rateControl == 1 || config->rateControl == 4 || config->rateControl == 32) {
        rc.enableInitialRCQP = 1;
        rc.initialRCQP.qpInterP = static_cast<uint32_t>(config->qp);
        if (config->iQuantFactor != 0.0f && config->bQuantFactor != 0.0f) {
            rc.initialRCQP.qpIntra =
                static_cast<uint32_t>(static_cast<int>(config->qp * std::fabs(config->iQuantFactor) + config->iQuantOffset));
            rc.initialRCQP.qpInterB =
                static_cast<uint32_t>(static_cast<int>(config->qp * std::fabs(config->bQuantFactor) + config->bQuantOffset));
        } else {
            rc.initialRCQP.qpIntra = static_cast<uint32_t>(config->qp);
            rc.initialRCQP.qpInterB = static_cast<uint32_t>(config->qp);
        }
    }

    const bool hevc = config->codec == 1;
    const uint32_t chroma = (config->inputFormat == NV_ENC_BUFFER_FORMAT_YUV444 ||
                             config->inputFormat == NV_ENC_BUFFER_FORMAT_YUV444_10BIT)
                                ? 3u
                                : 1u;
    if (hevc) {
        NV_ENC_CONFIG_HEVC& h = e.encodeCodecConfig.hevcConfig;
        h.chromaFormatIDC = chroma;
        if (tenBit) {
            h.pixelBitDepthMinus8 = 2;
        }
        if (config->intraRefresh) {
            h.enableIntraRefresh = 1;
            h.intraRefreshPeriod = static_cast<uint32_t>(config->intraRefreshPeriod);
            h.intraRefreshCnt = static_cast<uint32_t>(config->intraRefreshLength);
        }
        if (config->refInvalidation) {
            h.maxNumRefFramesInDPB = 16;
        }
        h.idrPeriod = static_cast<uint32_t>(config->gopLength);
    } else {
        NV_ENC_CONFIG_H264& h = e.encodeCodecConfig.h264Config;
        h.chromaFormatIDC = chroma;
        if (config->intraRefresh) {
            h.enableIntraRefresh = 1;
            h.intraRefreshPeriod = static_cast<uint32_t>(config->intraRefreshPeriod);
            h.intraRefreshCnt = static_cast<uint32_t>(config->intraRefreshLength);
        }
        if (config->refInvalidation) {
            h.maxNumRefFrames = 16;
        }
        h.idrPeriod = static_cast<uint32_t>(config->gopLength);
    }
    if (config->qpDeltaMap) {
        rc.qpMapMode = NV_ENC_QP_MAP_DELTA;
    }

    int asyncValue = 0;
    QueryCap(NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT, &asyncValue);
    p.enableEncodeAsync = static_cast<uint32_t>(asyncValue);
    config->asyncMode = asyncValue;

    if (config->motionEstimationOnly == 1 || config->motionEstimationOnly == 2) {
        p.enableMEOnlyMode = 1;
        int supported = 0;
        status = QueryCap(NV_ENC_CAPS_SUPPORT_MEONLY_MODE, &supported);
        if (status != NV_ENC_SUCCESS) {
            HLOG_ERROR << "Encode Session Initialization failed, ret code = " << static_cast<int>(status);
            return status;
        }
        if (supported != 1) {
            HLOG_ERROR << "NV_ENC_CAPS_SUPPORT_MEONLY_MODE not supported";
            return NV_ENC_ERR_UNSUPPORTED_DEVICE;
        }
        HLOG_INFO << "NV_ENC_CAPS_SUPPORT_MEONLY_MODE  supported\n";
    }
    if (config->temporalAQ == 1) {
        int supported = 0;
        status = QueryCap(NV_ENC_CAPS_SUPPORT_TEMPORAL_AQ, &supported);
        if (status != NV_ENC_SUCCESS) {
            HLOG_ERROR << "Encode Session Initialization failed, ret code = " << static_cast<int>(status);
            return status;
        }
        if (supported != 1) {
            HLOG_ERROR << "NV_ENC_CAPS_SUPPORT_TEMPORAL_AQ not supported";
            return NV_ENC_ERR_UNSUPPORTED_DEVICE;
        }
        rc.enableTemporalAQ = 1;
    }

    status = m_pEncodeAPI->nvEncInitializeEncoder(m_hEncoder, &p);
    if (status != NV_ENC_SUCCESS) {
        HLOG_ERROR << "Encode Session Initialization failed, ret code = " << static_cast<int>(status);
        return status;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvHWEncoder::NvEncReconfigureEncoder(const ReconfigureCommand* command,
                                                  Halvora::IO::MemoryOutputStream* outputStream) {
    if (!command || (!command->resolutionChange && !command->bitrateChange)) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (!m_bEncoderInitialized || !m_pEncodeAPI) {
        return NV_ENC_ERR_NO_ENCODE_DEVICE;
    }
    NV_ENC_INITIALIZE_PARAMS& p = m_stCreateEncodeParams;
    if (command->resolutionChange) {
        if (command->newWidth > m_uMaxWidth || command->newHeight > m_uMaxHeight) {
            return NV_ENC_ERR_INVALID_PARAM;
        }
        m_uCurWidth = command->newWidth;
        m_uCurHeight = command->newHeight;
        p.encodeWidth = p.darWidth = command->newWidth;
        p.encodeHeight = p.darHeight = command->newHeight;
    }
    if (command->bitrateChange) {
        NV_ENC_RC_PARAMS& rc = m_stEncodeConfig.rcParams;
        rc.averageBitRate = rc.maxBitRate = command->newBitrate;
        uint32_t vbv = command->newVbvSize;
        if (vbv == 0) {
            vbv = p.frameRateNum != 0 ? (p.frameRateDen * command->newBitrate) / p.frameRateNum : 0u;
        }
        rc.vbvBufferSize = rc.vbvInitialDelay = vbv;
    }

    NV_ENC_RECONFIGURE_PARAMS reconfigure;
    std::memset(&reconfigure, 0, sizeof(reconfigure));
    reconfigure.version = NV_ENC_RECONFIGURE_PARAMS_VER;
    reconfigure.reInitEncodeParams = p;
    reconfigure.forceIDR = command->resolutionChange ? 1 : 0;
    if (command->frameRateChange) {
        reconfigure.reInitEncodeParams.frameRateNum = command->newFrameRate;
        reconfigure.reInitEncodeParams.frameRateDen = 100;
        reconfigure.forceIDR = 1;
    }
    Checked(m_cuda, m_cuContext, "nvEncReconfigureEncoder",
            [&] { return m_pEncodeAPI->nvEncReconfigureEncoder(m_hEncoder, &reconfigure); });
    m_pOutputStream = outputStream;
    return NV_ENC_SUCCESS;
}

bool CNvHWEncoder::AllocateInternalBuffers(uint32_t width, uint32_t height, CUdeviceptr* deviceBuffer,
                                           size_t* devicePitch, NV_ENC_REGISTERED_PTR* registeredResource,
                                           unsigned char** hostBuffer, CUevent* copyDoneEvent) {
    if (!m_bEncoderInitialized) {
        HALVORA_THROW("AllocateInternalBuffers called before encoder initialization");
    }
    ContextScope scope(m_cuda, m_cuContext);
    scope.ThrowIfFailed();
    const size_t rowBytes = EvenWidth(width);
    const size_t rows = height + (height + 1) / 2;
    CUdeviceptr device = 0;
    size_t pitch = 0;
    CUresult ret = m_cuda.memAllocPitch(&device, &pitch, rowBytes, rows, 16);
    if (ret != CUDA_SUCCESS) {
        HALVORA_THROW("cuMemAllocPitchProc failed, ret code = " << static_cast<int>(ret));
    }
    void* host = nullptr;
    const size_t hostSize = std::max(static_cast<size_t>(width) * height * 2, rowBytes * rows);
    ret = m_cuda.memAllocHost(&host, hostSize);
    if (ret != CUDA_SUCCESS) {
        m_cuda.memFree(device);
        HALVORA_THROW("cuMemAllocHostProc failed, ret code = " << static_cast<int>(ret));
    }
    NV_ENC_REGISTERED_PTR registered = nullptr;
    try {
        NvEncRegisterResource(NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR, reinterpret_cast<void*>(device), width, height,
                              static_cast<uint32_t>(pitch), NV_ENC_BUFFER_FORMAT_NV12, &registered);
    } catch (...) {
        m_cuda.memFreeHost(host);
        m_cuda.memFree(device);
        throw;
    }
    CUevent event = nullptr;
    if (m_cuda.eventCreate(&event, CU_EVENT_DISABLE_TIMING) != CUDA_SUCCESS) {
        event = nullptr;
    }
    *deviceBuffer = device;
    *devicePitch = pitch;
    *registeredResource = registered;
    *hostBuffer = static_cast<unsigned char*>(host);
    *copyDoneEvent = event;
    return true;
}

void CNvHWEncoder::ReleaseInternalBuffers(CUdeviceptr deviceBuffer, NV_ENC_REGISTERED_PTR registeredResource,
                                          unsigned char* hostBuffer, CUevent copyDoneEvent) {
    if (!m_bEncoderInitialized) {
        HALVORA_THROW("ReleaseInternalBuffers called before encoder initialization");
    }
    ContextScope scope(m_cuda, m_cuContext);
    scope.ThrowIfFailed();
    // The resource is unregistered before its memory goes, and every release is attempted even when
    // an earlier one failed; the first failure is reported.
    std::string failure;
    int failureCode = 0;
    auto note = [&](const char* text, int code) {
        if (failure.empty()) {
            failure = text;
            failureCode = code;
        }
    };
    if (registeredResource) {
        NVENCSTATUS status = m_pEncodeAPI->nvEncUnregisterResource(m_hEncoder, registeredResource);
        if (status != NV_ENC_SUCCESS) {
            note("nvEncUnregisterResource failed, ret code = ", static_cast<int>(status));
        }
    }
    if (deviceBuffer) {
        CUresult ret = m_cuda.memFree(deviceBuffer);
        if (ret != CUDA_SUCCESS) {
            note("cuMemFreeProc failed, ret code = ", static_cast<int>(ret));
        }
    }
    if (hostBuffer) {
        CUresult ret = m_cuda.memFreeHost(hostBuffer);
        if (ret != CUDA_SUCCESS) {
            note("cuMemFreeHostProc failed, ret code = ", static_cast<int>(ret));
        }
    }
    if (copyDoneEvent) {
        CUresult ret = m_cuda.eventDestroy(copyDoneEvent);
        if (ret != CUDA_SUCCESS) {
            note("cuEventDestroyProc failed, ret code = ", static_cast<int>(ret));
        }
    }
    if (!failure.empty()) {
        HALVORA_THROW(failure << failureCode);
    }
}

void CNvHWEncoder::CopyToDeviceFrame(const unsigned char* hostPicture, uint32_t hostPitch, CUdeviceptr deviceBuffer,
                                     size_t devicePitch, uint32_t widthInBytes, uint32_t height, size_t chromaOffset,
                                     CUevent copyDoneEvent) {
    ContextScope scope(m_cuda, m_cuContext);
    scope.ThrowIfFailed();
    CUDA_MEMCPY2D copy;
    std::memset(&copy, 0, sizeof(copy));
    copy.srcMemoryType = CU_MEMORYTYPE_HOST;
    copy.srcHost = hostPicture;
    copy.srcPitch = hostPitch;
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.dstDevice = deviceBuffer;
    copy.dstPitch = devicePitch;
    copy.WidthInBytes = widthInBytes;
    copy.Height = height;
    CUresult ret = m_cuda.memcpy2DAsync(&copy, m_cuUploadStream);
    if (ret != CUDA_SUCCESS) {
        HALVORA_THROW("cuMemcpy2DAsyncProc failed, ret code = " << static_cast<int>(ret));
    }
    const uint32_t chromaRows = (height + 1) / 2;
    if (chromaRows != 0) {
        copy.srcHost = hostPicture + static_cast<size_t>(hostPitch) * height;
        copy.dstDevice = deviceBuffer + chromaOffset;
        copy.Height = chromaRows;
        ret = m_cuda.memcpy2DAsync(&copy, m_cuUploadStream);
        if (ret != CUDA_SUCCESS) {
            HALVORA_THROW("cuMemcpy2DAsyncProc failed, ret code = " << static_cast<int>(ret));
        }
    }
    ret = m_cuda.eventRecord(copyDoneEvent, m_cuUploadStream);
    if (ret != CUDA_SUCCESS) {
        HALVORA_THROW("cuEventRecordProc failed, ret code = " << static_cast<int>(ret));
    }
}

NVENCSTATUS CNvHWEncoder::NvEncEncodeFrame(EncodeBuffer* buffer, uint32_t width, uint32_t height, bool forceIDR,
                                           CUevent copyDoneEvent, uint32_t pictureStructure) {
    ContextScope scope(m_cuda, m_cuContext);
    scope.ThrowIfFailed();
    if (buffer->input.mappedInput) {
        // The slot's previous input could not be unmapped when its output was collected.
        NV_ENC_INPUT_PTR stale = buffer->input.mappedInput;
        NvEncUnmapInputResource(stale);
        buffer->input.mappedInput = nullptr;
    }
    CUresult ret = m_cuda.streamWaitEvent(nullptr, copyDoneEvent, 0);
    if (ret != CUDA_SUCCESS) {
        HALVORA_THROW("cuStreamWaitEventProc failed, ret code = " << static_cast<int>(ret));
    }
    NvEncMapInputResource(buffer->input.registeredResource, &buffer->input.mappedInput);

    NV_ENC_PIC_PARAMS pic;
    std::memset(&pic, 0, sizeof(pic));
    pic.version = NV_ENC_PIC_PARAMS_VER;
    pic.inputWidth = width;
    pic.inputHeight = height;
    pic.encodePicFlags = forceIDR ? (NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS) : 0u;
    pic.inputTimeStamp = m_dwEncodedFrameCount;
    pic.inputDuration = 0;
    pic.inputBuffer = buffer->input.mappedInput;
    pic.outputBitstream = buffer->output.bitstreamBuffer;
    pic.completionEvent = buffer->output.outputEvent ? buffer->output.outputEvent->NativeHandle() : nullptr;
    pic.bufferFmt = buffer->input.bufferFormat;
    pic.pictureStruct = static_cast<NV_ENC_PIC_STRUCT>(pictureStructure);
    NVENCSTATUS status = m_pEncodeAPI->nvEncEncodePicture(m_hEncoder, &pic);
    if (status != NV_ENC_SUCCESS) {
        // The picture was not taken: its input must not stay mapped.
        if (buffer->input.mappedInput) {
            m_pEncodeAPI->nvEncUnmapInputResource(m_hEncoder, buffer->input.mappedInput);
            buffer->input.mappedInput = nullptr;
        }
        HALVORA_THROW("nvEncEncodePicture API failed with staus " << static_cast<int>(status));
    }
    // The encoder reads the input until the picture is done: it stays mapped until ProcessOutput
    // has locked the picture's output.
    ++m_dwEncodedFrameCount;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvHWEncoder::NvEncFlushEncoderQueue(NvEncEvent* eosEvent) {
    ContextScope scope(m_cuda, m_cuContext);
    scope.ThrowIfFailed();
    NV_ENC_PIC_PARAMS pic;
    std::memset(&pic, 0, sizeof(pic));
    pic.version = NV_ENC_PIC_PARAMS_VER;
    pic.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    pic.completionEvent = eosEvent ? eosEvent->NativeHandle() : nullptr;
    NVENCSTATUS status = m_pEncodeAPI->nvEncEncodePicture(m_hEncoder, &pic);
    if (status != NV_ENC_SUCCESS) {
        HLOG_ERROR << "End of stream not accepted, status " << static_cast<int>(status);
        HALVORA_THROW("nvEncEncodePicture failed");
    }
    return status;
}

NVENCSTATUS CNvHWEncoder::ProcessOutput(EncodeBuffer* buffer) {
    return CollectOutput(buffer, true);
}

NVENCSTATUS CNvHWEncoder::DiscardOutput(EncodeBuffer* buffer) {
    return CollectOutput(buffer, false);
}

NVENCSTATUS CNvHWEncoder::CollectOutput(EncodeBuffer* buffer, bool write) {
    if (!buffer || (!buffer->output.bitstreamBuffer && !buffer->output.endOfStream)) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (buffer->output.waitOnEvent) {
        if (!buffer->output.outputEvent) {
            return NV_ENC_ERR_INVALID_PARAM;
        }
        if (write) {
            buffer->output.outputEvent->Wait();
        } else {
            // Released mid-clip: the event is consumed if it comes; the lock below waits for the picture.
            buffer->output.outputEvent->Wait(std::chrono::milliseconds(500));
        }
    }
    if (buffer->output.endOfStream) {
        return NV_ENC_SUCCESS;
    }
    ContextScope scope(m_cuda, m_cuContext);
    if (scope.Failed()) {
        HLOG_ERROR << "cuCtxPushCurrent failed, ret code = " << scope.Result();
        return NV_ENC_ERR_INVALID_DEVICE;
    }
    NV_ENC_LOCK_BITSTREAM lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = buffer->output.bitstreamBuffer;
    lock.doNotWait = 0;
    NVENCSTATUS status = m_pEncodeAPI->nvEncLockBitstream(m_hEncoder, &lock);
    if (status != NV_ENC_SUCCESS) {
        HLOG_ERROR << "lock bitstream function failed " << static_cast<int>(status);
    } else {
        if (write && m_pOutputStream) {
            m_pOutputStream->Write(static_cast<const uint8_t*>(lock.bitstreamBufferPtr), lock.bitstreamSizeInBytes);
        } else if (write) {
            HLOG_ERROR << "Encoded picture dropped: no output stream was given";
        }
        status = m_pEncodeAPI->nvEncUnlockBitstream(m_hEncoder, buffer->output.bitstreamBuffer);
    }
    // The encoder is done with the input once the output was locked (or the lock gave up on it).
    const NVENCSTATUS unmapped = UnmapCollectedInput(buffer);
    return status != NV_ENC_SUCCESS ? status : unmapped;
}

NVENCSTATUS CNvHWEncoder::UnmapCollectedInput(EncodeBuffer* buffer) {
    if (!buffer->input.mappedInput) {
        return NV_ENC_SUCCESS;
    }
    NVENCSTATUS status = m_pEncodeAPI->nvEncUnmapInputResource(m_hEncoder, buffer->input.mappedInput);
    if (status != NV_ENC_SUCCESS) {
        // Kept: the slot's next picture tries again before it maps the input anew.
        HLOG_ERROR << "nvEncUnmapInputResource failed, ret code = " << static_cast<int>(status);
        return status;
    }
    buffer->input.mappedInput = nullptr;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvHWEncoder::NvEncDestroyEncoder() {
    NVENCSTATUS status = NV_ENC_SUCCESS;
    if (m_bEncoderInitialized) {
        ContextScope scope(m_cuda, m_cuContext);
        status = m_pEncodeAPI->nvEncDestroyEncoder(m_hEncoder);
        m_hEncoder = nullptr;
        m_bEncoderInitialized = false;
    }
    // The upload stream serves the session only.
    DestroyUploadStream();
    return status;
}

NVENCSTATUS CNvHWEncoder::NvEncCreateBitstreamBuffer(uint32_t size, NV_ENC_OUTPUT_PTR* bitstreamBuffer) {
    NV_ENC_CREATE_BITSTREAM_BUFFER create;
    std::memset(&create, 0, sizeof(create));
    create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    create.size = size;
    create.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    const NVENCSTATUS status = Checked(m_cuda, m_cuContext, "nvEncCreateBitstreamBuffer",
                                       [&] { return m_pEncodeAPI->nvEncCreateBitstreamBuffer(m_hEncoder, &create); });
    *bitstreamBuffer = create.bitstreamBuffer;
    return status;
}

NVENCSTATUS CNvHWEncoder::NvEncDestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR bitstreamBuffer) {
    if (!bitstreamBuffer) return NV_ENC_SUCCESS;
    return Checked(m_cuda, m_cuContext, "nvEncDestroyBitstreamBuffer",
                   [&] { return m_pEncodeAPI->nvEncDestroyBitstreamBuffer(m_hEncoder, bitstreamBuffer); });
}

NVENCSTATUS CNvHWEncoder::NvEncRegisterAsyncEvent(NvEncEvent** event) {
    auto created = std::make_unique<NvEncEvent>();
    NV_ENC_EVENT_PARAMS params;
    std::memset(&params, 0, sizeof(params));
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = created->NativeHandle();
    const NVENCSTATUS status = Checked(m_cuda, m_cuContext, "nvEncRegisterAsyncEvent",
                                       [&] { return m_pEncodeAPI->nvEncRegisterAsyncEvent(m_hEncoder, &params); });
    *event = created.release();
    return status;
}

NVENCSTATUS CNvHWEncoder::NvEncUnregisterAsyncEvent(NvEncEvent* event) {
    if (!event) return NV_ENC_SUCCESS;
    // The event goes whatever the driver answers.
    std::unique_ptr<NvEncEvent> owned(event);
    NV_ENC_EVENT_PARAMS params;
    std::memset(&params, 0, sizeof(params));
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = event->NativeHandle();
    return Checked(m_cuda, m_cuContext, "nvEncUnregisterAsyncEvent",
                   [&] { return m_pEncodeAPI->nvEncUnregisterAsyncEvent(m_hEncoder, &params); });
}

NVENCSTATUS CNvHWEncoder::NvEncMapInputResource(NV_ENC_REGISTERED_PTR registeredResource,
                                                NV_ENC_INPUT_PTR* mappedInput) {
    NV_ENC_MAP_INPUT_RESOURCE map;
    std::memset(&map, 0, sizeof(map));
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = registeredResource;
    const NVENCSTATUS status = Checked(m_cuda, m_cuContext, "nvEncMapInputResource",
                                       [&] { return m_pEncodeAPI->nvEncMapInputResource(m_hEncoder, &map); });
    *mappedInput = map.mappedResource;
    return status;
}

NVENCSTATUS CNvHWEncoder::NvEncUnmapInputResource(NV_ENC_INPUT_PTR mappedInput) {
    if (!mappedInput) return NV_ENC_SUCCESS;
    return Checked(m_cuda, m_cuContext, "nvEncUnmapInputResource",
                   [&] { return m_pEncodeAPI->nvEncUnmapInputResource(m_hEncoder, mappedInput); });
}

NVENCSTATUS CNvHWEncoder::NvEncRegisterResource(NV_ENC_INPUT_RESOURCE_TYPE resourceType, void* resourceToRegister,
                                                uint32_t width, uint32_t height, uint32_t pitch,
                                                NV_ENC_BUFFER_FORMAT bufferFormat,
                                                NV_ENC_REGISTERED_PTR* registeredResource) {
    NV_ENC_REGISTER_RESOURCE reg;
    std::memset(&reg, 0, sizeof(reg));
    reg.version = NV_ENC_REGISTER_RESOURCE_VER;
    reg.resourceType = resourceType;
    reg.resourceToRegister = resourceToRegister;
    reg.width = width;
    reg.height = height;
    reg.pitch = pitch;
    reg.subResourceIndex = 0;
    reg.bufferFormat = bufferFormat;
    const NVENCSTATUS status = Checked(m_cuda, m_cuContext, "nvEncRegisterResource",
                                       [&] { return m_pEncodeAPI->nvEncRegisterResource(m_hEncoder, &reg); });
    *registeredResource = reg.registeredResource;
    return status;
}

NVENCSTATUS CNvHWEncoder::NvEncUnregisterResource(NV_ENC_REGISTERED_PTR registeredResource) {
    return Checked(m_cuda, m_cuContext, "nvEncUnregisterResource",
                   [&] { return m_pEncodeAPI->nvEncUnregisterResource(m_hEncoder, registeredResource); });
}

}  // namespace RuvarEduzid
}  // namespace Halvora
