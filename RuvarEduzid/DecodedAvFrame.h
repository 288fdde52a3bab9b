#pragma once

// The library's concrete picture: one FFmpeg AVFrame in planar YUV 4:2:0 (system memory) or on
// a CUDA device, with its capture time and the decoder state that came with it.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API DecodedAvFrame : public Video::Native::IDecodedFrame {
public:
    // A decoder picture: YUV 4:2:0 (also full range) and CUDA pictures are referenced, every
    // other layout is converted to AV_PIX_FMT_YUV420P. The caller keeps its own reference to
    // `frame`. The state is Ok.
    DecodedAvFrame(int64_t fileTimeUtc, AVFrame* frame);
    // A copy of a foreign frame, converted to AV_PIX_FMT_YUV420P. A frame whose state is not Ok
    // gives an object with that state and time and no picture.
    explicit DecodedAvFrame(Video::Native::IDecodedFrame* other);
    ~DecodedAvFrame() override;

    DecodedAvFrame(const DecodedAvFrame&) = delete;
    DecodedAvFrame& operator=(const DecodedAvFrame&) = delete;

    const unsigned char* ImageData() const override;
    int DataSize() const override;
    int Width() const override;
    int Height() const override;
    int StrideRGB() const override;
    int StrideY() const override;
    int StrideUV() const override;
    bool IsVerticallyFlipped() const override;
    Video::Native::DecodedImageFormat Format() const override;
    const unsigned char* GetY() const override;
    const unsigned char* GetV() const override;
    const unsigned char* GetU() const override;
    const unsigned char* GetUV() const override;
    long long GetFileTimeUtc() const override;
    Video::Native::DecoderState GetDecoderState() const override;
    // Id 0: writes the CUcontext (8 bytes) of the CUDA device holding the picture into `buffer`.
    void GetParam(unsigned int id, void* buffer, size_t size) const override;
    // Brings a CUDA picture into system memory as YUV 4:2:0; does nothing for other pictures.
    void MoveToRam() override;

    // The owned picture (not transferred); null for a frame without picture.
    AVFrame* GetPicture() const { return m_pFrame.get(); }
    void SetFileTimeUtc(int64_t fileTimeUtc) { m_fileTimeUtc = fileTimeUtc; }

private:
    bool IsCuda() const;

    AVFramePtr m_pFrame;
    Video::Native::DecoderState m_decoderState = Video::Native::Ok;
    int64_t m_fileTimeUtc = 0;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
