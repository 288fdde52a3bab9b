#pragma once

#include "Common/MemoryStream.h"
#include "RuvarEduzid/NvEncEvent.h"

#include <ffnvcodec/dynlink_cuda.h>
#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

// The NVENC "high performance" preset and its lossless twin. The installed interface headers
// still carry them, marked as deprecated; the same values are kept here so that the session
// configuration does not depend on a deprecated declaration.
extern const GUID NvEncPresetHpGuid;          // {60E4C59F-E846-4484-A56D-CD45BE9FDDF6}
extern const GUID NvEncPresetLosslessHpGuid;  // {149998E7-2364-411D-82EF-179888093409}

// Settings of one encode session, given to CNvHWEncoder::CreateEncoder.
struct EncodeConfig {
    int width = 0;
    int height = 0;
    int maxWidth = 0;   // below 1: the picture width
    int maxHeight = 0;  // below 1: the picture height
    int fps = 0;        // hundredths of a frame per second
    int bitrate = 0;
    int peakBitrate = 0;
    int vbvBuffer = 0;
    int rateControl = 0;  // NV_ENC_PARAMS_RC_MODE
    int qp = 0;
    float iQuantFactor = 0;
    float bQuantFactor = 0;
    float iQuantOffset = 0;
    float bQuantOffset = 0;
    GUID presetGUID{};
    int codec = 0;  // 0 H.264, 1 HEVC
    int refInvalidation = 0;
    int intraRefresh = 0;
    int intraRefreshPeriod = 0;
    int intraRefreshLength = 0;
    int deviceType = 0;
    int firstFrame = 0;
    int lastFrame = 0;
    int gopLength = 0;  // NVENC_INFINITE_GOPLENGTH (all bits set) = infinite
    int bFrames = 0;
    int pictureStructure = 0;  // NV_ENC_PIC_STRUCT
    int deviceIndex = 0;
    int inputFormat = 0;  // NV_ENC_BUFFER_FORMAT
    void* qpDeltaMap = nullptr;
    std::wstring encoderName;  // carried, not read
    int motionEstimationOnly = 0;
    int asyncMode = 0;  // set by CreateEncoder
    int temporalAQ = 0;
};

struct EncodeOutputBuffer {
    uint32_t bitstreamSize = 0;
    NV_ENC_OUTPUT_PTR bitstreamBuffer = nullptr;
    NvEncEvent* outputEvent = nullptr;  // asynchronous mode only
    bool waitOnEvent = false;
    bool endOfStream = false;
};

struct EncodeInputBuffer {
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned char* hostBuffer = nullptr;  // pinned host memory, one NV12 picture
    uint32_t hostPitch = 0;
    CUdeviceptr deviceBuffer = 0;
    size_t devicePitch = 0;
    NV_ENC_REGISTERED_PTR registeredResource = nullptr;
    NV_ENC_INPUT_PTR mappedInput = nullptr;
    NV_ENC_BUFFER_FORMAT bufferFormat = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    CUevent copyDoneEvent = nullptr;
};

// One input/output slot of the clip writer.
struct EncodeBuffer {
    EncodeOutputBuffer output;
    EncodeInputBuffer input;
};

struct ReconfigureCommand {
    bool resolutionChange = false;
    bool bitrateChange = false;
    bool frameRateChange = false;
    uint32_t newWidth = 0;
    uint32_t newHeight = 0;
    uint32_t newBitrate = 0;
    uint32_t newVbvSize = 0;    // 0: derived from the bit rate and the session's frame rate
    uint32_t newFrameRate = 0;  // hundredths of a frame per second
};

// A planar 4:2:0 picture in host memory.
struct _EncodeFrameConfig {
    const unsigned char* planes[3] = {nullptr, nullptr, nullptr};  // Y, U, V
    uint32_t strides[3] = {0, 0, 0};                               // Y, chroma, (not read)
    uint32_t width = 0;
    uint32_t height = 0;
};

// One NVENC encode session on a CUDA device: loads the NVIDIA driver libraries at run time,
// configures the session, owns the upload stream and copies finished bitstreams into the
// current clip's memory stream. A CUDA context is current per thread: every call that reaches the
// GPU makes the session's context current on the calling thread for its duration, so the session
// may be used from any thread (one at a time).
class CNvHWEncoder {
public:
    CNvHWEncoder();
    virtual ~CNvHWEncoder();
    CNvHWEncoder(const CNvHWEncoder&) = delete;
    CNvHWEncoder& operator=(const CNvHWEncoder&) = delete;

    NVENCSTATUS Initialize(CUcontext context, bool probeOnly);
    NVENCSTATUS CreateEncoder(EncodeConfig* config);
    NVENCSTATUS NvEncReconfigureEncoder(const ReconfigureCommand* command, Halvora::IO::MemoryOutputStream* outputStream);

    bool AllocateInternalBuffers(uint32_t width, uint32_t height, CUdeviceptr* deviceBuffer, size_t* devicePitch,
                                 NV_ENC_REGISTERED_PTR* registeredResource, unsigned char** hostBuffer,
                                 CUevent* copyDoneEvent);
    void ReleaseInternalBuffers(CUdeviceptr deviceBuffer, NV_ENC_REGISTERED_PTR registeredResource,
                                unsigned char* hostBuffer, CUevent copyDoneEvent);
    void CopyToDeviceFrame(const unsigned char* hostPicture, uint32_t hostPitch, CUdeviceptr deviceBuffer,
                           size_t devicePitch, uint32_t widthInBytes, uint32_t height, size_t chromaOffset,
                           CUevent copyDoneEvent);
    NVENCSTATUS NvEncEncodeFrame(EncodeBuffer* buffer, uint32_t width, uint32_t height, bool forceIDR,
                                 CUevent copyDoneEvent, uint32_t pictureStructure);
    NVENCSTATUS NvEncFlushEncoderQueue(NvEncEvent* eosEvent);
    // Copies a finished picture into the output stream; then (even when the lock failed) the
    // picture's input is unmapped: the encoder reads it until its output is locked.
    NVENCSTATUS ProcessOutput(EncodeBuffer* buffer);
    // The same without writing anything: a picture still in a slot when the writer is released.
    NVENCSTATUS DiscardOutput(EncodeBuffer* buffer);
    NVENCSTATUS NvEncDestroyEncoder();

    // Wrappers of single NVENC calls: a failing call logs and throws its text with the status.
    NVENCSTATUS NvEncCreateBitstreamBuffer(uint32_t size, NV_ENC_OUTPUT_PTR* bitstreamBuffer);
    NVENCSTATUS NvEncDestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR bitstreamBuffer);
    NVENCSTATUS NvEncRegisterAsyncEvent(NvEncEvent** event);
    NVENCSTATUS NvEncUnregisterAsyncEvent(NvEncEvent* event);
    NVENCSTATUS NvEncMapInputResource(NV_ENC_REGISTERED_PTR registeredResource, NV_ENC_INPUT_PTR* mappedInput);
    NVENCSTATUS NvEncUnmapInputResource(NV_ENC_INPUT_PTR mappedInput);
    NVENCSTATUS NvEncRegisterResource(NV_ENC_INPUT_RESOURCE_TYPE resourceType, void* resourceToRegister, uint32_t width,
                                      uint32_t height, uint32_t pitch, NV_ENC_BUFFER_FORMAT bufferFormat,
                                      NV_ENC_REGISTERED_PTR* registeredResource);
    NVENCSTATUS NvEncUnregisterResource(NV_ENC_REGISTERED_PTR registeredResource);

    bool IsSessionOpen() const { return m_bEncoderInitialized; }
    const NV_ENC_INITIALIZE_PARAMS& InitializeParams() const { return m_stCreateEncodeParams; }
    const NV_ENC_CONFIG& EncodeConfiguration() const { return m_stEncodeConfig; }
    uint32_t CurrentWidth() const { return m_uCurWidth; }
    uint32_t CurrentHeight() const { return m_uCurHeight; }
    uint32_t MaxWidth() const { return m_uMaxWidth; }
    uint32_t MaxHeight() const { return m_uMaxHeight; }
    uint32_t FrameCount() const { return m_dwEncodedFrameCount; }

    // The CUDA driver entry points of this session.
    struct CudaApi {
        tcuMemAllocPitch_v2* memAllocPitch = nullptr;
        CUresult(CUDAAPI* ctxSetCurrent)(CUcontext) = nullptr;
        tcuMemcpy2D_v2* memcpy2D = nullptr;
        tcuMemcpy2DAsync_v2* memcpy2DAsync = nullptr;
        tcuStreamCreate* streamCreate = nullptr;
        tcuStreamSynchronize* streamSynchronize = nullptr;
        tcuMemFree_v2* memFree = nullptr;
        CUresult(CUDAAPI* memFreeHost)(void*) = nullptr;
        CUresult(CUDAAPI* ctxGetCurrent)(CUcontext*) = nullptr;
        CUresult(CUDAAPI* memAllocHost)(void**, size_t) = nullptr;
        tcuEventCreate* eventCreate = nullptr;
        tcuEventDestroy_v2* eventDestroy = nullptr;
        tcuEventRecord* eventRecord = nullptr;
        CUresult(CUDAAPI* streamWaitEvent)(CUstream, CUevent, unsigned int) = nullptr;
        tcuStreamDestroy_v2* streamDestroy = nullptr;
        tcuCtxPushCurrent_v2* ctxPushCurrent = nullptr;
        tcuCtxPopCurrent_v2* ctxPopCurrent = nullptr;
    };

private:
    NVENCSTATUS QueryCap(NV_ENC_CAPS cap, int* value);
    NVENCSTATUS CollectOutput(EncodeBuffer* buffer, bool write);
    NVENCSTATUS UnmapCollectedInput(EncodeBuffer* buffer);
    void DestroyUploadStream();

    uint32_t m_dwEncodedFrameCount = 0;
    void* m_hEncoder = nullptr;
    NV_ENC_INITIALIZE_PARAMS m_stCreateEncodeParams;
    bool m_bEncoderInitialized = false;
    GUID m_stEncodeGUID{};
    uint32_t m_uMaxWidth = 0;
    uint32_t m_uMaxHeight = 0;
    uint32_t m_uCurWidth = 0;
    uint32_t m_uCurHeight = 0;
    void* m_hinstLib = nullptr;
    NV_ENC_CONFIG m_stEncodeConfig;
    void* m_hinstCudaLib = nullptr;
    Halvora::IO::MemoryOutputStream* m_pOutputStream = nullptr;
    NV_ENCODE_API_FUNCTION_LIST* m_pEncodeAPI = nullptr;
    CUcontext m_cuContext = nullptr;
    CUstream m_cuUploadStream = nullptr;
    CudaApi m_cuda;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
