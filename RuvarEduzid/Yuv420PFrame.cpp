#include "RuvarEduzid/Yuv420PFrame.h"

#include "Common/Exception.h"
#include "RuvarEduzid/DecodedAvFrame.h"

#include <opencv2/imgproc.hpp>

namespace Halvora {
namespace RuvarEduzid {

using namespace Video::Native;

namespace {
cv::Mat_<unsigned char> WrapPlane(int rows, int cols, const unsigned char* data, int step) {
    if (rows <= 0 || cols <= 0 || !data) return cv::Mat_<unsigned char>();
    return cv::Mat_<unsigned char>(rows, cols, const_cast<unsigned char*>(data), static_cast<size_t>(step));
}
}  // namespace

Yuv420PFrame::Yuv420PFrame(std::shared_ptr<IDecodedFrame> frame, int frameNumber) : m_frameNumber(frameNumber) {
    if (!frame) HALVORA_THROW("Yuv420PFrame made from a null frame");
    if (frame->Format() == Cuda)
        HALVORA_THROW("Yuv420PFrame cannot read a CUDA frame; move it to system memory first");
    if (frame->Format() == Yuv420P)
        m_sourceFrame = std::move(frame);
    else
        m_sourceFrame = std::make_shared<DecodedAvFrame>(frame.get());
    frame.reset();

    const IDecodedFrame& source = *m_sourceFrame;
    const int height = source.Height() & ~7;
    const int width = source.Width() & ~7;
    auto y = WrapPlane(height, width, source.GetY(), source.StrideY());
    auto u = WrapPlane(height / 2, width / 2, source.GetU(), source.StrideUV());
    auto v = WrapPlane(height / 2, width / 2, source.GetV(), source.StrideUV());
    m_image = Orvi::Yuv420PImage(y, u, v);
    m_sizeInMemory = static_cast<int>(static_cast<int64_t>(source.StrideY()) * height * 3 / 2);
    m_frameTime = Common::DateTime(source.GetFileTimeUtc());
}

Yuv420PFrame::Yuv420PFrame(const Orvi::Yuv420PImage& image, int frameNumber)
    : m_image(image), m_frameNumber(frameNumber) {}

void Yuv420PFrame::Resize(int width, int height, bool nearest) {
    if (width < 2 || height < 2) HALVORA_THROW("Yuv420PFrame::Resize to " << width << "x" << height);
    if (m_image.yMat.empty()) HALVORA_THROW("Yuv420PFrame::Resize of an empty image");
    const int interpolation = nearest ? cv::INTER_NEAREST : cv::INTER_LINEAR;
    cv::Mat_<unsigned char> y, u, v;
    cv::resize(m_image.yMat, y, cv::Size(width, height), 0, 0, interpolation);
    cv::resize(m_image.uMat, u, cv::Size(width / 2, height / 2), 0, 0, interpolation);
    cv::resize(m_image.vMat, v, cv::Size(width / 2, height / 2), 0, 0, interpolation);
    // Checks the half-size relation before anything of this frame changes.
    Orvi::Yuv420PImage resized(y, u, v);
    m_image = std::move(resized);
    m_sourceFrame.reset();
}

}  // namespace RuvarEduzid
}  // namespace Halvora
