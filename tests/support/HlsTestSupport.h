#pragma once

// Helpers of the HLS tests: a recorder behind the plain segment callback, file sizes, and
// ffprobe queries over what the writers produced.

#include "RuvarEduzid/H264StreamConfig.h"
#include "support/TestSupport.h"

#include <sys/stat.h>

#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace RuvarTest {

inline long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Everything the segment callback was told, with the sizes seen at the moment of the call.
struct SegmentReport {
    std::string path;
    long long size = -1;           // size of the reported file when reported
    long long successorSize = -1;  // size of the next segment file when reported (-1: none)
    std::string md5;               // MD5 of the reported file's bytes when reported
};

class SegmentRecorder {
public:
    static SegmentRecorder& Instance() {
        static SegmentRecorder recorder;
        return recorder;
    }
    // The plain callback handed to the writers.
    static void Callback(const char* path) { Instance().Add(path); }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.clear();
    }
    std::vector<SegmentReport> Reports() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& r : Reports()) paths.push_back(r.path);
        return paths;
    }

private:
    void Add(const char* path) {
        SegmentReport report;
        report.path = path;
        report.size = FileSize(path);
        const std::string bytes = ReadFile(path);
        report.md5 = Md5Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        // ".../outNNN.ts" -> ".../out(NNN+1).ts"
        const std::string p(path);
        const size_t slash = p.rfind('/');
        const int index = std::stoi(p.substr(slash + 4, p.size() - slash - 7));
        char next[32];
        std::snprintf(next, sizeof next, "out%03d.ts", index + 1);
        report.successorSize = FileSize(p.substr(0, slash + 1) + next);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(report);
    }
    mutable std::mutex m_mutex;
    std::vector<SegmentReport> m_reports;
};

inline Halvora::RuvarEduzid::H264StreamConfig StreamConfig(int width, int height, int segmentDuration,
                                                          int gopsPerSegment, bool live = false) {
    Halvora::RuvarEduzid::H264StreamConfig c{};
    c.height = height;
    c.width = width;
    c.crf = 23;
    c.maxRate = 0;
    c.profile = Halvora::RuvarEduzid::H264ProfileNotSet;
    c.level = Halvora::RuvarEduzid::H264LevelNotSet;
    c.liveGeneration = live;
    c.segmentDuration = segmentDuration;
    c.gopsPerSegment = gopsPerSegment;
    return c;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Output of ffprobe with `args` on `path`; empty when ffprobe fails.
inline std::string Probe(const std::string& path, const std::string& args) {
    std::string out;
    if (RunCommand("ffprobe -v error " + args + " " + Quote(path), &out) != 0) return std::string();
    return out;
}

// Frames of the first video stream, decoded and counted by ffprobe.
inline int CountFrames(const std::string& path) {
    std::string out = Probe(path, "-count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0");
    return out.empty() ? -1 : std::stoi(out);
}

// Per packet of the first video stream: true for key frames.
inline std::vector<bool> KeyFlags(const std::string& path) {
    std::vector<bool> keys;
    for (const auto& line : Lines(Probe(path, "-select_streams v:0 -show_entries packet=flags -of csv=p=0")))
        if (!line.empty()) keys.push_back(line[0] == 'K');
    return keys;
}

// "WIDTHxHEIGHT" of the first video stream.
inline std::string StreamSize(const std::string& path) {
    auto lines = Lines(Probe(path, "-select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0"));
    return lines.empty() ? std::string() : lines[0];
}

}  // namespace RuvarTest
