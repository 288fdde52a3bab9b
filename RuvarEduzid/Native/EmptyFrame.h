#pragma once

#include "RuvarEduzid/Native/Interfaces.h"

namespace Halvora {
namespace Video {
namespace Native {

// A frame that carries only a state: every picture accessor returns 0, null or false.
class RUVAREDUZID_API EmptyFrame : public IDecodedFrame {
public:
    explicit EmptyFrame(DecoderState state) : m_state(state) {}
    const unsigned char* ImageData() const override { return nullptr; }
    int DataSize() const override { return 0; }
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    int StrideRGB() const override { return 0; }
    int StrideY() const override { return 0; }
    int StrideUV() const override { return 0; }
    bool IsVerticallyFlipped() const override { return false; }
    DecodedImageFormat Format() const override { return static_cast<DecodedImageFormat>(0); }
    const unsigned char* GetY() const override { return nullptr; }
    const unsigned char* GetV() const override { return nullptr; }
    const unsigned char* GetU() const override { return nullptr; }
    const unsigned char* GetUV() const override { return nullptr; }
    long long GetFileTimeUtc() const override { return 0; }
    DecoderState GetDecoderState() const override { return m_state; }
    void GetParam(unsigned int, void*, size_t) const override {}
    void MoveToRam() override {}

private:
    DecoderState m_state;
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
