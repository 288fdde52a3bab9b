#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RuvarTest {

// Runs a shell command; returns its exit status and fills `output` with stdout (and stderr when
// `mergeStderr`).
int RunCommand(const std::string& command, std::string* output = nullptr, bool mergeStderr = false);

// Path of a fixture made once by the ffmpeg CLI into the build tree:
// `ffmpeg -y -hide_banner -loglevel error <args> <path>`. Made again when missing.
std::string MakeFixture(const std::string& name, const std::string& ffmpegArgs);

// Per-frame MD5 digests from FFmpeg's framemd5 of `path` (output format and extra args chosen by
// the caller, e.g. "-pix_fmt yuv420p").
std::vector<std::string> FrameMd5(const std::string& path, const std::string& extraArgs = "-pix_fmt yuv420p");

// A fresh, empty directory under the build tree.
std::string TempDir(const std::string& name);

// MD5 of bytes as lowercase hex.
std::string Md5Hex(const uint8_t* data, size_t size);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Shell-quotes a string.
std::string Quote(const std::string& s);

}  // namespace RuvarTest
