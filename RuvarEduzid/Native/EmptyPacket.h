#pragma once

#include "RuvarEduzid/Native/Interfaces.h"

namespace Halvora {
namespace Video {
namespace Native {

// A packet that carries only a state.
class RUVAREDUZID_API EmptyPacket : public IEncodedPacket {
public:
    explicit EmptyPacket(DemuxerState state) : m_state(state) {}
    const unsigned char* ImageData() const override { return nullptr; }
    int DataSize() const override { return 0; }
    long long GetFileTimeUtc() const override { return 0; }
    DemuxerState GetDemuxerState() const override { return m_state; }

private:
    DemuxerState m_state;
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
