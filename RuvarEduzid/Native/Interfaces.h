#pragma once

// The abstract classes shared with the host. The order of the virtual operations is part of
// the contract: the host calls through the virtual tables.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/Native/DecoderParameter.h"
#include "RuvarEduzid/Native/VideoEnums.h"
#include "RuvarEduzid/Native/VideoFileInfo.h"

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Halvora {
namespace Video {
namespace Native {

class RUVAREDUZID_API IPlugin {
public:
    virtual ~IPlugin() = default;
    virtual boost::uuids::uuid GetId() = 0;
    virtual std::wstring GetName() = 0;
};

class IEncodedPacket;
class IDecodedFrame;

class RUVAREDUZID_API IPacketDemuxer {
public:
    virtual ~IPacketDemuxer() = default;
    virtual std::shared_ptr<IEncodedPacket> GetNextPacket() = 0;
    // FFmpeg codec id of the video stream, -1 while no decoder is open.
    virtual int GetCodecId() = 0;
};

class RUVAREDUZID_API IFrameDecoder {
public:
    virtual ~IFrameDecoder() = default;
    virtual std::shared_ptr<IDecodedFrame> GetNextFrame() = 0;
    virtual std::shared_ptr<IDecodedFrame> GetFrameAt(long long fileTimeUtc) = 0;
    virtual std::shared_ptr<IDecodedFrame> GetFrame(int frameNumber) {
        (void)frameNumber;
        return nullptr;
    }
    // Keeps the slots behind it in place; no class of this library overrides it.
    virtual std::shared_ptr<void> ReservedFrameOperation() { return nullptr; }
    virtual void Interrupt() {}
};

class RUVAREDUZID_API IVideoDecoder : public IFrameDecoder, public IPacketDemuxer, public IPlugin {
public:
    virtual bool Initialize(unsigned char* data, size_t capacity, size_t dataSize, bool live,
                            const std::vector<std::shared_ptr<DecoderParameter>>* parameters) = 0;
    virtual bool Initialize(const VideoFileInfo& info,
                            const std::vector<std::shared_ptr<DecoderParameter>>* parameters) = 0;
    virtual VideoFileInfoResult GetVideoFileInfo(const std::wstring& path) = 0;
    virtual bool AppendChunkToBuffer(unsigned char* data, size_t size) = 0;
};

class RUVAREDUZID_API IDecodedImage {
public:
    virtual ~IDecodedImage() = default;
    virtual const unsigned char* ImageData() const = 0;
    virtual int DataSize() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual int StrideRGB() const = 0;
    virtual int StrideY() const = 0;
    virtual int StrideUV() const = 0;
    virtual bool IsVerticallyFlipped() const = 0;
    virtual DecodedImageFormat Format() const = 0;
    virtual const unsigned char* GetY() const = 0;
    virtual const unsigned char* GetV() const = 0;
    virtual const unsigned char* GetU() const = 0;
    virtual const unsigned char* GetUV() const = 0;
};

class RUVAREDUZID_API IDecodedFrame : public IDecodedImage {
public:
    virtual long long GetFileTimeUtc() const = 0;
    virtual DecoderState GetDecoderState() const = 0;
    virtual void GetParam(unsigned int id, void* out, size_t size) const = 0;
    virtual void MoveToRam() = 0;
};

class RUVAREDUZID_API IEncodedPacket {
public:
    virtual ~IEncodedPacket() = default;
    virtual const unsigned char* ImageData() const = 0;
    virtual int DataSize() const = 0;
    virtual long long GetFileTimeUtc() const = 0;
    virtual DemuxerState GetDemuxerState() const = 0;
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
