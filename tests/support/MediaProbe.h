#pragma once

// ffprobe and ffmpeg as the independent readers of what the writers produce.

#include <string>
#include <vector>

namespace RuvarTest {

struct ProbedPacket {
    double ptsTime = 0;
    double dtsTime = 0;
    bool key = false;
};

// The packets of the first video stream, in file order.
std::vector<ProbedPacket> ProbeVideoPackets(const std::string& path);
// Number of decodable video frames (ffprobe -count_frames).
int ProbeFrameCount(const std::string& path);
// One field of the first video stream ("codec_name", "width", "avg_frame_rate", ...).
std::string ProbeStreamField(const std::string& path, const std::string& field);
// The container's format name as ffprobe reports it ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm").
std::string ProbeFormatName(const std::string& path);
// Picture types of the decoded frames in order ("I", "P", "B").
std::vector<std::string> ProbePictTypes(const std::string& path);
// Average PSNR (dB) over all frames of `path` against raw yuv420p `reference` of the given size;
// negative when ffmpeg fails.
double AveragePsnr(const std::string& path, const std::string& reference, int width, int height);

}  // namespace RuvarTest
