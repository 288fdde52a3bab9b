#pragma once

// The library's owning pointers for FFmpeg objects and FFmpeg's error text (shared with the RTSP
// layer, which sits below the library's classes).
#include "Common/FfmpegPtr.h"
