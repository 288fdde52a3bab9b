#pragma once

// One compressed packet of the video stream, owning its FFmpeg packet.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API EncodedAvPacket : public Halvora::Video::Native::IEncodedPacket {
public:
    // Takes ownership of `packet`. The state is Ok.
    EncodedAvPacket(long long fileTimeUtc, AVPacket* packet);
    ~EncodedAvPacket() override;
    EncodedAvPacket(const EncodedAvPacket&) = delete;
    EncodedAvPacket& operator=(const EncodedAvPacket&) = delete;

    const unsigned char* ImageData() const override;
    int DataSize() const override;
    long long GetFileTimeUtc() const override { return fileTimeUtc; }
    Halvora::Video::Native::DemuxerState GetDemuxerState() const override { return state; }

    void SetFileTimeUtc(long long time) { fileTimeUtc = time; }
    // True for a packet that starts a key frame.
    bool IsKeyFrame() const;

private:
    AVPacketPtr packet;
    Halvora::Video::Native::DemuxerState state = Halvora::Video::Native::Ok;
    long long fileTimeUtc;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
