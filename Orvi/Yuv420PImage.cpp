#include "Orvi/Yuv420PImage.h"

#include "Common/Exception.h"

namespace Halvora {
namespace Orvi {

Yuv420PImage::Yuv420PImage(const cv::Mat_<unsigned char>& y, const cv::Mat_<unsigned char>& u,
                           const cv::Mat_<unsigned char>& v)
    : yMat(y), uMat(u), vMat(v) {
    // Only the two relations the writers depend on most are checked.
    if (uMat.rows != (yMat.rows + 1) / 2 || vMat.cols != (yMat.cols + 1) / 2) {
        HALVORA_THROW(" Not a Yuv420p image! yMat.cols = " << yMat.cols << " vMat.cols = " << vMat.cols
                                                           << " yMat.rows = " << yMat.rows
                                                           << " vMat.rows = " << vMat.rows
                                                           << " uMat.rows = " << uMat.rows);
    }
}

}  // namespace Orvi
}  // namespace Halvora
