#include "support/MediaProbe.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <sstream>

namespace RuvarTest {

namespace {
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}
std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
}
}  // namespace

std::vector<ProbedPacket> ProbeVideoPackets(const std::string& path) {
    std::string out;
    RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,dts_time,flags -of csv=p=0 " +
                   Quote(path),
               &out);
    std::vector<ProbedPacket> packets;
    for (const std::string& line : Lines(out)) {
        std::istringstream fields(line);
        std::string pts, dts, flags;
        std::getline(fields, pts, ',');
        std::getline(fields, dts, ',');
        std::getline(fields, flags, ',');
        ProbedPacket p;
        p.ptsTime = std::atof(pts.c_str());
        p.dtsTime = std::atof(dts.c_str());
        p.key = flags.find('K') != std::string::npos;
        packets.push_back(p);
    }
    return packets;
}

int ProbeFrameCount(const std::string& path) {
    std::string out;
    RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 " +
                   Quote(path),
               &out);
    out = Trim(out);
    return out.empty() ? -1 : std::atoi(out.c_str());
}

std::string ProbeStreamField(const std::string& path, const std::string& field) {
    std::string out;
    RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=" + field + " -of csv=p=0 " + Quote(path),
               &out);
    // MPEG-TS and HLS list the stream once more under its program: the first line is the stream.
    return Trim(out.substr(0, out.find('\n')));
}

std::string ProbeFormatName(const std::string& path) {
    std::string out;
    RunCommand("ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 " + Quote(path), &out);
    return Trim(out);
}

std::vector<std::string> ProbePictTypes(const std::string& path) {
    std::string out;
    RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=pict_type -of csv=p=0 " + Quote(path), &out);
    std::vector<std::string> types;
    for (const std::string& line : Lines(out)) types.push_back(line.substr(0, line.find(',')));
    return types;
}

double AveragePsnr(const std::string& path, const std::string& reference, int width, int height) {
    std::string out;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    int rc = RunCommand("ffmpeg -hide_banner -nostdin -i " + Quote(path) + " -f rawvideo -pix_fmt yuv420p -s " + size +
                            " -i " + Quote(reference) + " -lavfi '[0:v][1:v]psnr=shortest=1' -f null - 2>&1",
                        &out);
    if (rc != 0) return -1;
    size_t at = out.find("average:");
    if (at == std::string::npos) return -1;
    std::string value = out.substr(at + 8, out.find(' ', at + 8) - at - 8);
    if (value == "inf") return 1000;
    return std::atof(value.c_str());
}

}  // namespace RuvarTest
