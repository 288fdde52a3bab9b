#include "support/TestSupport.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavutil/md5.h>
}

namespace RuvarTest {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

int RunCommand(const std::string& command, std::string* output, bool mergeStderr) {
    std::string cmd = command + (mergeStderr ? " 2>&1" : "");
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buf;
    std::string text;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) text.append(buf.data(), n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeFixture(const std::string& name, const std::string& ffmpegArgs) {
    std::string path = std::string(RUVAR_FIXTURE_DIR) + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    // Made under a temporary name, then renamed: test programs running side by side never see
    // a half-written fixture.
    std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + name.substr(name.rfind('.') + 1);
    std::string out;
    int rc = RunCommand("ffmpeg -y -hide_banner -loglevel error -nostdin " + ffmpegArgs + " " + Quote(tmp), &out, true);
    if (rc != 0) throw std::runtime_error("ffmpeg failed to make " + name + ": " + out);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("rename failed for " + name);
    return path;
}

std::vector<std::string> FrameMd5(const std::string& path, const std::string& extraArgs) {
    std::string out;
    int rc = RunCommand("ffmpeg -hide_banner -loglevel error -nostdin -i " + Quote(path) + " -map 0:v:0 " + extraArgs +
                            " -f framemd5 -",
                        &out);
    if (rc != 0) throw std::runtime_error("framemd5 failed for " + path);
    std::vector<std::string> digests;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t comma = line.rfind(',');
        if (comma == std::string::npos) continue;
        size_t b = line.find_first_not_of(' ', comma + 1);
        digests.push_back(line.substr(b));
    }
    return digests;
}

std::string TempDir(const std::string& name) {
    std::string dir = std::string(RUVAR_BINARY_DIR) + "/tmp/" + name + "." + std::to_string(::getpid());
    RunCommand("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
    return dir;
}

std::string Md5Hex(const uint8_t* data, size_t size) {
    uint8_t digest[16];
    av_md5_sum(digest, data, static_cast<int>(size));
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace RuvarTest
