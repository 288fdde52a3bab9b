#pragma once

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/IClipVideoWriter.h"
#include "RuvarEduzid/NvHWEncoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

// Encodes short H.264 clips on an NVIDIA GPU into memory streams. One encode session is opened at
// construction and reconfigured for every clip; pictures go through a ring of slots so that up to
// a slot count of pictures are in flight and WriteFrame does not wait for the GPU.
class RUVAREDUZID_API NvVideoWriter : public IClipVideoWriter {
public:
    // With a null context no encoder exists: every clip operation then throws.
    NvVideoWriter(void* cudaContext, int maxWidth, int maxHeight, int qp, int bitrate);
    ~NvVideoWriter() override;
    NvVideoWriter(const NvVideoWriter&) = delete;
    NvVideoWriter& operator=(const NvVideoWriter&) = delete;

    void WriteFrame(const Halvora::Orvi::Yuv420PImage& image, const Halvora::Common::DateTime& time) override;
    void WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame) override;
    void WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame, bool flag) override;
    // frameRate in hundredths of a frame per second, bitrate in bits per second.
    void StartClip(Halvora::IO::MemoryOutputStream& output, unsigned int width, unsigned int height,
                   unsigned int frameRate, unsigned int bitrate) override;
    bool StopClip() override;
    void Dispose() override;

    // How many encode sessions the GPU of the context accepts, at most `maxEncoders`.
    static size_t GetMaxEncoders(void* cudaContext, size_t maxEncoders);

    uint32_t BufferCount() const { return m_uEncodeBufferCount; }
    bool AsyncMode() const { return m_asyncMode != 0; }

protected:
    NVENCSTATUS AllocateIOBuffers(uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format);
    NVENCSTATUS ReleaseIOBuffers();
    NVENCSTATUS Deinitialize();
    NVENCSTATUS EncodeFrame(_EncodeFrameConfig* picture, bool flush);

private:
    static constexpr uint32_t MaxEncodeBuffers = 32;

    // Slots in submission order: the next free one and the oldest pending one.
    struct SlotQueue {
        std::vector<EncodeBuffer*> buffers;
        uint32_t size = 0;
        uint32_t pendingCount = 0;
        uint32_t availableIndex = 0;
        uint32_t pendingIndex = 0;

        void Reset(EncodeBuffer* slots, uint32_t count);
        EncodeBuffer* GetAvailable();
        EncodeBuffer* GetPending();
        // Gives back the slot GetAvailable handed out last (its picture was not submitted).
        void ReturnAvailable();
    };

    void Init();
    NVENCSTATUS FlushEncoder();
    // Copies the slot's picture into the clip's stream; a failure is kept for StopClip to report.
    void CollectOutput(EncodeBuffer* slot);
    void RequireEncoder(const char* operation) const;

    std::unique_ptr<CNvHWEncoder> m_pNvHWEncoder;
    uint32_t m_uEncodeBufferCount = 0;
    uint32_t m_uPicStruct = 0;
    void* m_cuContext = nullptr;
    int32_t m_asyncMode = 0;
    EncodeBuffer m_stEncodeBuffer[MaxEncodeBuffers];
    SlotQueue m_EncodeBufferQueue;
    EncodeOutputBuffer m_stEOSOutputBfr;
    EncodeConfig m_stEncoderInput;
    bool m_bForceIDR = true;
    int32_t m_bitrate = 0;
    int32_t m_maxWidth = 0;
    int32_t m_maxHeight = 0;
    int32_t m_qp = 0;
    bool m_clipStarted = false;
    uint32_t m_clipWidth = 0;  // picture size of the clip, set by StartClip
    uint32_t m_clipHeight = 0;
    NVENCSTATUS m_outputStatus = NV_ENC_SUCCESS;  // first picture of the clip that did not reach its stream
    bool m_disposed = false;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
