#pragma once

// A decoded frame seen as a planar YUV 4:2:0 image without copying pixels, with its number,
// capture time and memory size. Copies share the source frame and the pixels.

#include "Common/DateTime.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <memory>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API Yuv420PFrame {
public:
    // Wraps the planes of `frame` (a converted copy for layouts other than Yuv420P), cropped to
    // the top-left width and height rounded down to multiples of 8. Throws CodeErrorException
    // for a CUDA frame: move it to system memory first.
    Yuv420PFrame(std::shared_ptr<Video::Native::IDecodedFrame> frame, int frameNumber);
    // Shares the image's pixels; no source frame, size in memory 0, empty frame time.
    Yuv420PFrame(const Orvi::Yuv420PImage& image, int frameNumber);
    virtual ~Yuv420PFrame() = default;

    Yuv420PFrame(const Yuv420PFrame&) = default;
    Yuv420PFrame& operator=(const Yuv420PFrame&) = default;

    const cv::Mat_<unsigned char>& GetYMat() const { return m_image.yMat; }
    const cv::Mat_<unsigned char>& GetUMat() const { return m_image.uMat; }
    const cv::Mat_<unsigned char>& GetVMat() const { return m_image.vMat; }
    const Orvi::Yuv420PImage& GetYuv420PImage() const { return m_image; }
    int GetSizeInMemory() const { return m_sizeInMemory; }
    int GetFrameNumber() const { return m_frameNumber; }
    Common::DateTime GetFrameTime() const { return m_frameTime; }

    // Resizes Y to width x height and U, V to half that, into fresh buffers, and releases the
    // source frame. Bilinear, or nearest neighbour when `nearest`. An odd width or height
    // throws and leaves the frame as it was.
    void Resize(int width, int height, bool nearest);

private:
    std::shared_ptr<Video::Native::IDecodedFrame> m_sourceFrame;
    Orvi::Yuv420PImage m_image;
    int m_sizeInMemory = 0;
    int m_frameNumber = 0;
    Common::DateTime m_frameTime;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
