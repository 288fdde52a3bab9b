#include "RuvarEduzid/EncodedAvPacket.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace Halvora {
namespace RuvarEduzid {

EncodedAvPacket::EncodedAvPacket(long long time, AVPacket* p) : packet(p), fileTimeUtc(time) {}

EncodedAvPacket::~EncodedAvPacket() = default;

const unsigned char* EncodedAvPacket::ImageData() const { return packet ? packet->data : nullptr; }

int EncodedAvPacket::DataSize() const { return packet ? packet->size : 0; }

bool EncodedAvPacket::IsKeyFrame() const { return packet && (packet->flags & AV_PKT_FLAG_KEY); }

}  // namespace RuvarEduzid
}  // namespace Halvora
