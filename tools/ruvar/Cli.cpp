#include "tools/ruvar/Cli.h"

#include "Common/DateTime.h"

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace Ruvar {

namespace {
bool Contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}
}  // namespace

Args::Args(const std::vector<std::string>& argv, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, const std::vector<std::string>& repeatable) {
    bool onlyPositionals = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (onlyPositionals || a.size() < 2 || a[0] != '-' || (a[1] != '-' && std::isdigit(static_cast<unsigned char>(a[1])))) {
            m_positionals.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPositionals = true;
            continue;
        }
        std::string name = a, value;
        bool hasValue = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            hasValue = true;
        }
        if (Contains(valued, name)) {
            if (!hasValue) {
                if (i + 1 >= argv.size()) throw UsageError("option " + name + " needs a value");
                value = argv[++i];
            }
            if (!Contains(repeatable, name) && m_values.count(name))
                throw UsageError("option " + name + " given twice");
            m_values.emplace(name, value);
        } else if (Contains(flags, name)) {
            if (hasValue) throw UsageError("option " + name + " takes no value");
            m_values.emplace(name, "");
        } else {
            throw UsageError("unknown option " + name);
        }
    }
}

bool Args::Has(const std::string& name) const { return m_values.count(name) > 0; }

std::optional<std::string> Args::Value(const std::string& name) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> Args::Values(const std::string& name) const {
    std::vector<std::string> out;
    auto range = m_values.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}

std::string Args::Require(const std::string& name) const {
    auto v = Value(name);
    if (!v) throw UsageError("option " + name + " is required");
    return *v;
}

int64_t Args::Integer(const std::string& name, int64_t fallback, int64_t min, int64_t max) const {
    auto v = Value(name);
    return v ? ParseInteger(name, *v, min, max) : fallback;
}

double Args::Number(const std::string& name, double fallback, double min, double max) const {
    auto v = Value(name);
    return v ? ParseNumber(name, *v, min, max) : fallback;
}

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t min, int64_t max) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || std::isspace(static_cast<unsigned char>(text[0])))
        throw UsageError(option + ": '" + text + "' is not an integer");
    if (v < min || v > max)
        throw UsageError(option + ": " + text + " is out of range [" + std::to_string(min) + ", " + std::to_string(max) + "]");
    return v;
}

double ParseNumber(const std::string& option, const std::string& text, double min, double max) {
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) ||
        std::isspace(static_cast<unsigned char>(text[0])))
        throw UsageError(option + ": '" + text + "' is not a number");
    if (v < min || v > max) throw UsageError(option + ": " + text + " is out of range");
    return v;
}

std::pair<int, int> ParseSize(const std::string& option, const std::string& text, int maxWidth, int maxHeight) {
    size_t x = text.find('x');
    if (x == std::string::npos) throw UsageError(option + ": '" + text + "' is not a size like 1280x720");
    int w = static_cast<int>(ParseInteger(option, text.substr(0, x), 2, maxWidth));
    int h = static_cast<int>(ParseInteger(option, text.substr(x + 1), 2, maxHeight));
    if (w % 2 || h % 2) throw UsageError(option + ": " + text + " is not an even width and height, as H.264 4:2:0 needs");
    return {w, h};
}

int64_t ParseIsoTime(const std::string& option, const std::string& text) {
    int y, mo, d, h, mi, s, consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6 ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1601)
        throw UsageError(option + ": '" + text + "' is not an ISO 8601 time like 2024-05-01T12:00:00.5Z");
    std::string rest = text.substr(static_cast<size_t>(consumed));
    int64_t fraction = 0;
    if (!rest.empty() && rest[0] == '.') {
        size_t i = 1;
        int digits = 0;
        while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) {
            if (digits < 7) {
                fraction = fraction * 10 + (rest[i] - '0');
                ++digits;
            }
            ++i;
        }
        if (i == 1) throw UsageError(option + ": '" + text + "' has an empty fraction");
        while (digits++ < 7) fraction *= 10;
        rest = rest.substr(i);
    }
    int64_t offsetSeconds = 0;
    if (rest == "Z" || rest.empty()) {
    } else if ((rest[0] == '+' || rest[0] == '-') && rest.size() == 6 && rest[3] == ':') {
        int oh = static_cast<int>(ParseInteger(option, rest.substr(1, 2), 0, 23));
        int om = static_cast<int>(ParseInteger(option, rest.substr(4, 2), 0, 59));
        offsetSeconds = (rest[0] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
    } else {
        throw UsageError(option + ": '" + text + "' has an unknown zone (use Z or +hh:mm)");
    }
    return Halvora::Common::DateTime::FromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d), h, mi, s,
                                                fraction)
               .GetFileTime() -
           offsetSeconds * Halvora::Common::DateTime::TicksPerSecond;
}

Output::Output(bool json, bool quiet)
    : m_json(json), m_quiet(quiet), m_progress(!quiet && ::isatty(STDERR_FILENO)),
      m_start(std::chrono::steady_clock::now()), m_lastProgress(m_start) {}

// Each line goes out as it is made, so that a reader of a pipe or file sees it at once.
void Output::Line(const std::string& text) const {
    if (!m_json) std::cout << text << std::endl;
}

void Output::Record(const Json::Value& value) const {
    if (!m_json) return;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::cout << Json::writeString(builder, value) << std::endl;
}

void Output::Progress(int64_t frames) {
    if (!m_progress) return;
    auto now = std::chrono::steady_clock::now();
    if (now - m_lastProgress < std::chrono::milliseconds(250)) return;
    m_lastProgress = now;
    double elapsed = std::chrono::duration<double>(now - m_start).count();
    std::fprintf(stderr, "\rframes %-8lld fps %-8.1f elapsed %.1fs ", static_cast<long long>(frames),
                 elapsed > 0 ? frames / elapsed : 0.0, elapsed);
    m_progressShown = true;
}

void Output::EndProgress() {
    if (m_progressShown) std::fprintf(stderr, "\n");
    m_progressShown = false;
}

std::string IsoTime(int64_t ticks) { return Halvora::Common::DateTime(ticks).toString(true); }

std::string PackedYuv420pMd5(const unsigned char* y, const unsigned char* u, const unsigned char* v, int strideY,
                             int strideUV, int width, int height) {
    AVMD5* md5 = av_md5_alloc();
    av_md5_init(md5);
    for (int r = 0; r < height; ++r) av_md5_update(md5, y + static_cast<ptrdiff_t>(r) * strideY, width);
    int cw = (width + 1) / 2, ch = (height + 1) / 2;
    for (int r = 0; r < ch; ++r) av_md5_update(md5, u + static_cast<ptrdiff_t>(r) * strideUV, cw);
    for (int r = 0; r < ch; ++r) av_md5_update(md5, v + static_cast<ptrdiff_t>(r) * strideUV, cw);
    uint8_t digest[16];
    av_md5_final(md5, digest);
    av_free(md5);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

bool IsNetworkAddress(const std::string& source) { return source.find("://") != std::string::npos; }

void CheckLocalSource(const std::string& source) {
    if (IsNetworkAddress(source)) return;
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) throw RunError("cannot open '" + source + "': " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw RunError("cannot open '" + source + "': it is a directory");
    if (::access(source.c_str(), R_OK) != 0) throw RunError("cannot open '" + source + "': " + std::strerror(errno));
}

void CheckOutput(const std::string& path, bool overwrite) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw RunError("cannot write '" + path + "': it is a directory");
        if (!overwrite) throw RunError("'" + path + "' already exists (give -y to replace it)");
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(folder.c_str(), &st) != 0) throw RunError("cannot write '" + path + "': " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) throw RunError("cannot write '" + path + "': '" + folder + "' is not a directory");
    if (::access(folder.c_str(), W_OK) != 0) throw RunError("cannot write '" + path + "': " + std::strerror(errno));
}

std::string StateName(int state) {
    switch (state) {
        case 0: return "Ok";
        case 1: return "Error";
        case 2: return "EndOfArchive";
        case 4: return "NotAvailable";
        default: return "State" + std::to_string(state);
    }
}

}  // namespace Ruvar
