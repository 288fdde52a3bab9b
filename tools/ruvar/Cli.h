#pragma once

// Command-line plumbing of the ruvar tool: options, output (text or JSON lines), progress, errors.

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Ruvar {

// A mistake in how the tool was called: printed with a hint, exit code 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The work failed (missing file, unreachable address, bad data): exit code 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parsed arguments: positionals plus --name value / --flag options.
class Args {
public:
    // `valued` lists the options that take a value; every other --option is a flag. `repeatable`
    // options may be given several times.
    Args(const std::vector<std::string>& argv, const std::vector<std::string>& valued,
         const std::vector<std::string>& flags, const std::vector<std::string>& repeatable = {});

    const std::vector<std::string>& Positionals() const { return m_positionals; }
    bool Has(const std::string& name) const;
    std::optional<std::string> Value(const std::string& name) const;
    std::vector<std::string> Values(const std::string& name) const;
    std::string Require(const std::string& name) const;

    int64_t Integer(const std::string& name, int64_t fallback, int64_t min, int64_t max) const;
    double Number(const std::string& name, double fallback, double min, double max) const;

private:
    std::vector<std::string> m_positionals;
    std::multimap<std::string, std::string> m_values;
};

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t min, int64_t max);
double ParseNumber(const std::string& option, const std::string& text, double min, double max);
// "1280x720" -> {1280, 720}: even sizes (the H.264 encoder's 4:2:0 pictures) up to `maxWidth` x
// `maxHeight`.
std::pair<int, int> ParseSize(const std::string& option, const std::string& text, int maxWidth, int maxHeight);
// "2024-05-01T12:00:00.25Z" (or without Z, or with a +hh:mm offset) -> file-time ticks (UTC).
int64_t ParseIsoTime(const std::string& option, const std::string& text);

// Where results go: human-readable lines, or one JSON object per line with --json.
class Output {
public:
    Output(bool json, bool quiet);
    bool Json() const { return m_json; }
    bool Quiet() const { return m_quiet; }
    void Line(const std::string& text) const;      // text mode only
    void Record(const Json::Value& value) const;  // JSON mode only
    // Progress on standard error, only when it is a terminal and --quiet is not given.
    void Progress(int64_t frames);
    void EndProgress();

private:
    bool m_json;
    bool m_quiet;
    bool m_progress;
    bool m_progressShown = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastProgress;
};

// "2024-05-01T12:00:00.1234567Z" from file-time ticks.
std::string IsoTime(int64_t fileTimeTicks);
// MD5 of a yuv420p picture packed without stride padding (Y, then U, then V).
std::string PackedYuv420pMd5(const unsigned char* y, const unsigned char* u, const unsigned char* v, int strideY,
                             int strideUV, int width, int height);
bool IsNetworkAddress(const std::string& source);
// Fails with a clear message when a local source does not exist or cannot be read.
void CheckLocalSource(const std::string& source);
// Fails with a clear message when `path` cannot be written: its folder is missing or not writable,
// it is a folder, or it exists and `overwrite` (-y) was not given.
void CheckOutput(const std::string& path, bool overwrite);
std::string StateName(int state);

}  // namespace Ruvar
