#pragma once

// A planar YUV 4:2:0 picture as three byte matrices. Copies share the pixel buffers (OpenCV
// reference counting); nothing is cloned.

#include "RuvarEduzid/Export.h"

#include <opencv2/core.hpp>

namespace Halvora {
namespace Orvi {

class RUVAREDUZID_API Yuv420PImage {
public:
    // Three empty planes.
    Yuv420PImage() = default;
    // Stores the three headers (the pixels stay shared) and checks that U has (Y rows + 1) / 2
    // rows and V has (Y cols + 1) / 2 columns; throws CodeErrorException otherwise.
    Yuv420PImage(const cv::Mat_<unsigned char>& yMat, const cv::Mat_<unsigned char>& uMat,
                 const cv::Mat_<unsigned char>& vMat);
    virtual ~Yuv420PImage() = default;

    Yuv420PImage(const Yuv420PImage&) = default;
    Yuv420PImage& operator=(const Yuv420PImage&) = default;
    Yuv420PImage(Yuv420PImage&&) = default;
    Yuv420PImage& operator=(Yuv420PImage&&) = default;

    cv::Mat_<unsigned char> yMat;  // luma, rows x cols
    cv::Mat_<unsigned char> uMat;  // Cb, half size
    cv::Mat_<unsigned char> vMat;  // Cr, half size
};

}  // namespace Orvi
}  // namespace Halvora
