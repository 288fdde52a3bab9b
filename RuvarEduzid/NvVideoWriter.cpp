#include "RuvarEduzid/NvVideoWriter.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/MemoryStream.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <chrono>
#include <cstring>
#include <exception>

namespace Halvora {
namespace RuvarEduzid {

namespace {
// NV12 rows hold whole chroma pairs: an odd width takes one more byte.
uint32_t EvenWidth(uint32_t width) {
    return width + (width & 1u);
}
}  // namespace

// ---- slot queue -------------------------------------------------------------------------------

void NvVideoWriter::SlotQueue::Reset(EncodeBuffer* slots, uint32_t count) {
    buffers.assign(count, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        buffers[i] = &slots[i];
    }
    size = count;
    pendingCount = availableIndex = pendingIndex = 0;
}

EncodeBuffer* NvVideoWriter::SlotQueue::GetAvailable() {
    if (pendingCount == size) {
        return nullptr;
    }
    EncodeBuffer* item = buffers[availableIndex];
    availableIndex = (availableIndex + 1) % size;
    ++pendingCount;
    return item;
}

EncodeBuffer* NvVideoWriter::SlotQueue::GetPending() {
    if (pendingCount == 0) {
        return nullptr;
    }
    EncodeBuffer* item = buffers[pendingIndex];
    pendingIndex = (pendingIndex + 1) % size;
    --pendingCount;
    return item;
}

void NvVideoWriter::SlotQueue::ReturnAvailable() {
    if (pendingCount == 0) {
        return;
    }
    availableIndex = (availableIndex + size - 1) % size;
    --pendingCount;
}

// ---- construction and set-up ------------------------------------------------------------------

NvVideoWriter::NvVideoWriter(void* cudaContext, int maxWidth, int maxHeight, int qp, int bitrate)
    : m_cuContext(cudaContext), m_bForceIDR(true), m_bitrate(bitrate), m_maxWidth(maxWidth), m_maxHeight(maxHeight),
      m_qp(qp) {
    if (!cudaContext) {
        return;
    }
    m_pNvHWEncoder = std::make_unique<CNvHWEncoder>();
    try {
        Init();
    } catch (...) {
        // The destructor does not run for a failed construction: give back what Init got.
        try {
            Deinitialize();
        } catch (const std::exception& e) {
            HLOG_ERROR << "Releasing a half-made NVENC writer failed: " << e.what();
        }
        throw;
    }
}

void NvVideoWriter::Init() {
    EncodeConfig& c = m_stEncoderInput;
    c = EncodeConfig();
    c.width = c.maxWidth = m_maxWidth;
    c.height = c.maxHeight = m_maxHeight;
    c.fps = 15;
    c.bitrate = m_bitrate;
    c.rateControl = NV_ENC_PARAMS_RC_CONSTQP;
    c.qp = m_qp;
    c.iQuantFactor = -0.8f;
    c.bQuantFactor = 1.25f;
    c.iQuantOffset = 0.0f;
    c.bQuantOffset = 1.25f;
    c.presetGUID = NvEncPresetHpGuid;
    c.codec = 0;
    c.deviceType = 2;
    c.lastFrame = 2147483647;
    c.gopLength = static_cast<int>(NVENC_INFINITE_GOPLENGTH);
    c.bFrames = 0;
    c.pictureStructure = NV_ENC_PIC_STRUCT_FRAME;
    c.deviceIndex = 0;
    c.inputFormat = NV_ENC_BUFFER_FORMAT_NV12;

    if (m_pNvHWEncoder->Initialize(static_cast<CUcontext>(m_cuContext), false) != NV_ENC_SUCCESS) {
        HALVORA_THROW("NvHWEncoder->Initialize failed");
    }
    if (m_pNvHWEncoder->CreateEncoder(&c) != NV_ENC_SUCCESS) {
        HALVORA_THROW("NvHWEncoder->CreateEncoder failed");
    }
    if (c.maxWidth == 0) c.maxWidth = c.width;
    if (c.maxHeight == 0) c.maxHeight = c.height;
    m_asyncMode = c.asyncMode;

    if (c.bFrames > 0) {
        m_uEncodeBufferCount = static_cast<uint32_t>(c.bFrames + 4);
    } else {
        const uint32_t mbs = ((static_cast<uint32_t>(c.maxWidth) + 15) / 16) * ((static_cast<uint32_t>(c.maxHeight) + 15) / 16);
        m_uEncodeBufferCount = mbs >= 32768 ? 4 : mbs >= 16384 ? 8 : mbs >= 8160 ? 16 : 32;
    }
    if (m_uEncodeBufferCount > MaxEncodeBuffers) {
        m_uEncodeBufferCount = MaxEncodeBuffers;
    }
    m_uPicStruct = static_cast<uint32_t>(c.pictureStructure);

    if (AllocateIOBuffers(static_cast<uint32_t>(c.width), static_cast<uint32_t>(c.height),
                          static_cast<NV_ENC_BUFFER_FORMAT>(c.inputFormat)) != NV_ENC_SUCCESS) {
        HALVORA_THROW("AllocateIOBuffers failed");
    }
}

NVENCSTATUS NvVideoWriter::AllocateIOBuffers(uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format) {
    m_EncodeBufferQueue.Reset(m_stEncodeBuffer, m_uEncodeBufferCount);
    for (uint32_t i = 0; i < m_uEncodeBufferCount; ++i) {
        EncodeBuffer& b = m_stEncodeBuffer[i];
        m_pNvHWEncoder->AllocateInternalBuffers(width, height, &b.input.deviceBuffer, &b.input.devicePitch,
                                                &b.input.registeredResource, &b.input.hostBuffer,
                                                &b.input.copyDoneEvent);
        b.input.hostPitch = EvenWidth(width);
        b.input.bufferFormat = format;
        b.input.width = width;
        b.input.height = height;
        m_pNvHWEncoder->NvEncCreateBitstreamBuffer(width * height * 2, &b.output.bitstreamBuffer);
        b.output.bitstreamSize = width * height * 2;
        if (m_asyncMode) {
            m_pNvHWEncoder->NvEncRegisterAsyncEvent(&b.output.outputEvent);
            b.output.waitOnEvent = true;
        } else {
            b.output.outputEvent = nullptr;
        }
    }
    m_stEOSOutputBfr.endOfStream = true;
    if (m_asyncMode) {
        m_pNvHWEncoder->NvEncRegisterAsyncEvent(&m_stEOSOutputBfr.outputEvent);
    } else {
        m_stEOSOutputBfr.outputEvent = nullptr;
    }
    return NV_ENC_SUCCESS;
}

// ---- release ----------------------------------------------------------------------------------

NVENCSTATUS NvVideoWriter::ReleaseIOBuffers() {
    if (!m_pNvHWEncoder || !m_pNvHWEncoder->IsSessionOpen()) {
        return NV_ENC_SUCCESS;
    }
    // Every slot is released even when one fails; the first failure is reported afterwards.
    std::exception_ptr first;
    auto attempt = [&first](auto&& step) {
        try {
            step();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    };
    // Pictures still in their slots (a clip that was never stopped) are collected without being
    // written, as the clip's stream may be gone; that gives their inputs back.
    while (EncodeBuffer* pending = m_EncodeBufferQueue.GetPending()) {
        attempt([&] {
            NVENCSTATUS status = m_pNvHWEncoder->DiscardOutput(pending);
            if (status != NV_ENC_SUCCESS) {
                HLOG_WARNING << "A picture in flight could not be collected at release, status: "
                             << static_cast<int>(status);
            }
        });
    }
    for (uint32_t i = 0; i < MaxEncodeBuffers; ++i) {
        EncodeBuffer& b = m_stEncodeBuffer[i];
        attempt([&] {
            NV_ENC_INPUT_PTR mapped = b.input.mappedInput;
            b.input.mappedInput = nullptr;
            m_pNvHWEncoder->NvEncUnmapInputResource(mapped);
        });
        attempt([&] {
            CUdeviceptr device = b.input.deviceBuffer;
            NV_ENC_REGISTERED_PTR registered = b.input.registeredResource;
            unsigned char* host = b.input.hostBuffer;
            CUevent event = b.input.copyDoneEvent;
            b.input.deviceBuffer = 0;
            b.input.registeredResource = nullptr;
            b.input.hostBuffer = nullptr;
            b.input.copyDoneEvent = nullptr;
            if (device || registered || host || event) {
                m_pNvHWEncoder->ReleaseInternalBuffers(device, registered, host, event);
            }
        });
        attempt([&] {
            NV_ENC_OUTPUT_PTR bitstream = b.output.bitstreamBuffer;
            b.output.bitstreamBuffer = nullptr;
            m_pNvHWEncoder->NvEncDestroyBitstreamBuffer(bitstream);
        });
        attempt([&] {
            NvEncEvent* event = b.output.outputEvent;
            b.output.outputEvent = nullptr;
            b.output.waitOnEvent = false;
            m_pNvHWEncoder->NvEncUnregisterAsyncEvent(event);
        });
    }
    attempt([&] {
        NvEncEvent* event = m_stEOSOutputBfr.outputEvent;
        m_stEOSOutputBfr.outputEvent = nullptr;
        m_pNvHWEncoder->NvEncUnregisterAsyncEvent(event);
    });
    m_EncodeBufferQueue.Reset(m_stEncodeBuffer, 0);
    if (first) {
        std::rethrow_exception(first);
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NvVideoWriter::Deinitialize() {
    std::exception_ptr failure;
    try {
        ReleaseIOBuffers();
    } catch (...) {
        failure = std::current_exception();
    }
    NVENCSTATUS status = NV_ENC_SUCCESS;
    if (m_pNvHWEncoder && m_pNvHWEncoder->IsSessionOpen()) {
        status = m_pNvHWEncoder->NvEncDestroyEncoder();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return status;
}

void NvVideoWriter::Dispose() {
    m_disposed = true;
    m_clipStarted = false;
    Deinitialize();
}

NvVideoWriter::~NvVideoWriter() {
    try {
        Deinitialize();
    } catch (const std::exception& e) {
        HLOG_ERROR << "Releasing the NVENC writer failed: " << e.what();
    } catch (...) {
        HLOG_ERROR << "Releasing the NVENC writer failed";
    }
}

// ---- clips ------------------------------------------------------------------------------------

void NvVideoWriter::RequireEncoder(const char* operation) const {
    if (!m_pNvHWEncoder) {
        HALVORA_THROW("NvVideoWriter::" << operation << ": the writer has no encoder (it was created without a CUDA context)");
    }
    if (m_disposed || !m_pNvHWEncoder->IsSessionOpen()) {
        HALVORA_THROW("NvVideoWriter::" << operation << ": the writer was disposed");
    }
}

void NvVideoWriter::StartClip(Halvora::IO::MemoryOutputStream& output, unsigned int width, unsigned int height,
                              unsigned int frameRate, unsigned int bitrate) {
    HLOG_TRACE << "StartClip bitrate: " << bitrate;
    RequireEncoder("StartClip");
    if (width > static_cast<unsigned int>(m_maxWidth) || height > static_cast<unsigned int>(m_maxHeight)) {
        HALVORA_THROW("Video clip resolution is larger than allowed. Width: " << width << ", height: " << height
                                                                              << ", maxWidth: " << m_maxWidth
                                                                              << ", maxHeight: " << m_maxHeight);
    }
    m_bForceIDR = true;
    m_outputStatus = NV_ENC_SUCCESS;
    ReconfigureCommand command;
    command.resolutionChange = command.bitrateChange = command.frameRateChange = true;
    command.newWidth = width;
    command.newHeight = height;
    command.newBitrate = bitrate;
    command.newVbvSize = 0;
    command.newFrameRate = frameRate;
    NVENCSTATUS status = m_pNvHWEncoder->NvEncReconfigureEncoder(&command, &output);
    if (status != NV_ENC_SUCCESS) {
        HALVORA_THROW("Failed to reconfigure encoder, status: " << static_cast<int>(status));
    }
    m_clipWidth = width;
    m_clipHeight = height;
    m_clipStarted = true;
}

void NvVideoWriter::WriteFrame(const Halvora::Orvi::Yuv420PImage& image, const Halvora::Common::DateTime& time) {
    (void)image;
    (void)time;
    HALVORA_THROW("NVVideoWriter does not support YUV Frames");
}

void NvVideoWriter::WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame) {
    WriteFrame(frame, false);
}

void NvVideoWriter::WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame, bool flag) {
    (void)flag;
    RequireEncoder("WriteFrame");
    if (!m_clipStarted) {
        HALVORA_THROW("NvVideoWriter::WriteFrame: no clip was started (StartClip gives the encoder its output)");
    }
    if (!frame) {
        HALVORA_THROW("NvVideoWriter::WriteFrame: no frame");
    }
    _EncodeFrameConfig picture;
    picture.planes[0] = frame->GetY();
    picture.planes[1] = frame->GetU();
    picture.planes[2] = frame->GetV();
    picture.strides[0] = static_cast<uint32_t>(frame->StrideY());
    picture.strides[1] = static_cast<uint32_t>(frame->StrideUV());
    picture.width = static_cast<uint32_t>(frame->Width());
    picture.height = static_cast<uint32_t>(frame->Height());
    if (EncodeFrame(&picture, false) != NV_ENC_SUCCESS) {
        HLOG_WARNING << "WriteFrame failed";
    }
}

NVENCSTATUS NvVideoWriter::EncodeFrame(_EncodeFrameConfig* picture, bool flush) {
    if (flush) {
        return FlushEncoder();
    }
    if (!picture) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (!picture->planes[0] || !picture->planes[1] || !picture->planes[2] || picture->width == 0 ||
        picture->height == 0) {
        HALVORA_THROW("NvVideoWriter: the frame holds no planar YUV 4:2:0 picture");
    }
    const uint32_t width = picture->width;
    const uint32_t height = picture->height;
    if (width > static_cast<uint32_t>(m_stEncoderInput.maxWidth) ||
        height > static_cast<uint32_t>(m_stEncoderInput.maxHeight)) {
        HALVORA_THROW("NvVideoWriter: frame size " << width << "x" << height << " is larger than the encoder maximum "
                                                   << m_stEncoderInput.maxWidth << "x" << m_stEncoderInput.maxHeight);
    }
    // The session encodes pictures of the clip's size only; the driver refuses any other.
    if (width != m_clipWidth || height != m_clipHeight) {
        HALVORA_THROW("NvVideoWriter: frame size " << width << "x" << height << " differs from the clip size "
                                                   << m_clipWidth << "x" << m_clipHeight << " set by StartClip");
    }

    EncodeBuffer* slot = m_EncodeBufferQueue.GetAvailable();
    if (!slot) {
        CollectOutput(m_EncodeBufferQueue.GetPending());
        slot = m_EncodeBufferQueue.GetAvailable();
    }
    try {
        // Planar 4:2:0 into NV12: the luma rows, then rows of interleaved chroma pairs (U first).
        unsigned char* host = slot->input.hostBuffer;
        const uint32_t pitch = slot->input.hostPitch ? slot->input.hostPitch : EvenWidth(width);
        for (uint32_t y = 0; y < height; ++y) {
            std::memcpy(host + static_cast<size_t>(y) * pitch, picture->planes[0] + static_cast<size_t>(y) * picture->strides[0],
                        width);
        }
        unsigned char* chroma = host + static_cast<size_t>(pitch) * height;
        const uint32_t chromaRows = (height + 1) / 2;
        const uint32_t pairs = (width + 1) / 2;
        for (uint32_t r = 0; r < chromaRows; ++r) {
            unsigned char* row = chroma + static_cast<size_t>(r) * pitch;
            const unsigned char* u = picture->planes[1] + static_cast<size_t>(r) * picture->strides[1];
            const unsigned char* v = picture->planes[2] + static_cast<size_t>(r) * picture->strides[1];
            for (uint32_t k = 0; k < pairs; ++k) {
                row[2 * k] = u[k];
                row[2 * k + 1] = v[k];
            }
        }
        m_pNvHWEncoder->CopyToDeviceFrame(host, pitch, slot->input.deviceBuffer, slot->input.devicePitch,
                                          EvenWidth(width), height, slot->input.height * slot->input.devicePitch,
                                          slot->input.copyDoneEvent);
        NVENCSTATUS status = m_pNvHWEncoder->NvEncEncodeFrame(slot, width, height, m_bForceIDR,
                                                              slot->input.copyDoneEvent, m_uPicStruct);
        if (status != NV_ENC_SUCCESS) {
            HALVORA_THROW("NvEncEncodeFrame failed, status: " << static_cast<int>(status));
        }
    } catch (...) {
        // The picture did not reach the encoder: its slot holds nothing to collect.
        m_EncodeBufferQueue.ReturnAvailable();
        throw;
    }
    m_bForceIDR = false;
    return NV_ENC_SUCCESS;
}

void NvVideoWriter::CollectOutput(EncodeBuffer* slot) {
    NVENCSTATUS status = m_pNvHWEncoder->ProcessOutput(slot);
    if (status != NV_ENC_SUCCESS && m_outputStatus == NV_ENC_SUCCESS) {
        m_outputStatus = status;
    }
}

NVENCSTATUS NvVideoWriter::FlushEncoder() {
    m_pNvHWEncoder->NvEncFlushEncoderQueue(m_stEOSOutputBfr.outputEvent);
    while (EncodeBuffer* pending = m_EncodeBufferQueue.GetPending()) {
        CollectOutput(pending);
    }
    // A picture that did not reach the stream fails the clip; the failure is reported once.
    const NVENCSTATUS outputStatus = m_outputStatus;
    m_outputStatus = NV_ENC_SUCCESS;
    if (m_asyncMode &&
        !(m_stEOSOutputBfr.outputEvent && m_stEOSOutputBfr.outputEvent->Wait(std::chrono::milliseconds(500)))) {
        HLOG_WARNING << "Timeout";
        return NV_ENC_ERR_GENERIC;
    }
    return outputStatus;
}

bool NvVideoWriter::StopClip() {
    RequireEncoder("StopClip");
    try {
        NVENCSTATUS status = FlushEncoder();
        if (status != NV_ENC_SUCCESS) {
            HALVORA_THROW("Failed to flush encoder. Status: " << static_cast<int>(status));
        }
        return true;
    } catch (const Halvora::Common::Exception& e) {
        HLOG_ERROR << "StopClip failure. Exception: " << e;
        return false;
    }
}

// ---- capacity ---------------------------------------------------------------------------------

size_t NvVideoWriter::GetMaxEncoders(void* cudaContext, size_t maxEncoders) {
    size_t opened = 0;
    {
        std::vector<std::unique_ptr<CNvHWEncoder>> probes;
        for (size_t i = 0; i < maxEncoders; ++i) {
            probes.push_back(std::make_unique<CNvHWEncoder>());
            if (probes.back()->Initialize(static_cast<CUcontext>(cudaContext), true) != NV_ENC_SUCCESS) {
                break;
            }
            ++opened;
        }
        for (auto& probe : probes) {
            if (probe->IsSessionOpen()) {
                probe->NvEncDestroyEncoder();
            }
        }
    }
    if (opened > 0) {
        return opened;
    }
    // Nothing opened: a full open says why (it throws its own error when it fails that way).
    CNvHWEncoder last;
    NVENCSTATUS status = last.Initialize(static_cast<CUcontext>(cudaContext), false);
    HALVORA_THROW("No encoders were found on GPU, error " << static_cast<int>(status));
}

}  // namespace RuvarEduzid
}  // namespace Halvora
