#include "Common/Logger.h"

#include "Common/StringUtility.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Halvora {
namespace Common {

namespace {

int InitialRootLevel() {
    const char* env = std::getenv("RUVAREDUZID_LOG_LEVEL");
    if (env && *env) {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (end && *end == '\0') return static_cast<int>(v);
    }
    return LogInfo;
}

spdlog::level::level_enum ToSpdlog(int level) {
    switch (level) {
        case LogError: return spdlog::level::err;
        case LogWarning: return spdlog::level::warn;
        case LogInfo: return spdlog::level::info;
        case LogDebug: return spdlog::level::debug;
        default: return level > LogError ? spdlog::level::critical : spdlog::level::trace;
    }
}

// Writes records through an spdlog logger (standard error, or a file from RUVAREDUZID_LOG_FILE).
class SpdlogSink : public LogSink {
public:
    explicit SpdlogSink(std::shared_ptr<spdlog::logger> logger) : m_logger(std::move(logger)) {
        m_logger->set_level(spdlog::level::trace);
        m_logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] [%n] %v");
    }
    void Write(const LogRecord& r) override {
        if (r.file.empty())
            m_logger->log(ToSpdlog(r.level), "{}", r.message);
        else
            m_logger->log(ToSpdlog(r.level), "{} ({}:{} {})", r.message, r.file, r.line, r.function);
        m_logger->flush();
    }

private:
    std::shared_ptr<spdlog::logger> m_logger;
};

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<LogSink>> sinks;
    Registry() {
        const char* file = std::getenv("RUVAREDUZID_LOG_FILE");
        try {
            if (file && *file)
                sinks.push_back(std::make_shared<SpdlogSink>(
                    std::make_shared<spdlog::logger>("root", std::make_shared<spdlog::sinks::basic_file_sink_mt>(file))));
            else
                sinks.push_back(std::make_shared<SpdlogSink>(
                    std::make_shared<spdlog::logger>("root", std::make_shared<spdlog::sinks::stderr_sink_mt>())));
        } catch (const std::exception&) {
            // A log file that cannot be opened leaves logging to the sinks added later.
        }
    }
};

Registry& GetRegistry() {
    static Registry* registry = new Registry();  // never destroyed: logging works during static teardown
    return *registry;
}

}  // namespace

std::atomic<int> Logger::_rootLevel{InitialRootLevel()};

void CapturingLogSink::Write(const LogRecord& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<std::string> CapturingLogSink::Messages(int level) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& r : m_records)
        if (level < 0 || r.level == level) out.push_back(r.message);
    return out;
}

bool CapturingLogSink::Contains(std::string_view text, int level) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_records.begin(), m_records.end(), [&](const LogRecord& r) {
        return (level < 0 || r.level == level) && r.message.find(text) != std::string::npos;
    });
}

void CapturingLogSink::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

LogStream& LogStream::operator<<(const std::string& s) {
    m_os << StringUtility::StringToWstring(s);
    return *this;
}

LogStream& LogStream::operator<<(std::string_view s) { return *this << std::string(s); }

LogStream& LogStream::operator<<(const char* s) { return *this << std::string(s ? s : "(null)"); }

std::string LogStream::Utf8() const { return StringUtility::WstringToString(m_os.str()); }

void Logger::AddSink(std::shared_ptr<LogSink> sink) {
    auto& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.sinks.push_back(std::move(sink));
}

void Logger::RemoveSink(const std::shared_ptr<LogSink>& sink) {
    auto& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.sinks.erase(std::remove(reg.sinks.begin(), reg.sinks.end(), sink), reg.sinks.end());
}

std::vector<std::shared_ptr<LogSink>> Logger::ReplaceSinks(std::vector<std::shared_ptr<LogSink>> sinks) {
    auto& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.sinks.swap(sinks);
    return sinks;
}

void Logger::Emit(const LogRecord& record) {
    if (!IsEnabled(record.level)) return;
    auto& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (auto& sink : reg.sinks) sink->Write(record);
}

void Logger::Log(int level, const char* file, int line, const char* function, const std::string& message) {
    if (!IsEnabled(level)) return;
    LogRecord r;
    r.level = level;
    r.logger = "root";
    r.file = file ? file : "";
    r.line = line;
    r.function = function ? function : "";
    r.message = message;
    Emit(r);
}

Logger::ScopedLog::ScopedLog(int level, const char* file, int line, const char* function)
    : m_level(level), m_file(file), m_line(line), m_function(function) {}

Logger::ScopedLog::~ScopedLog() {
    try {
        Logger::Log(m_level, m_file, m_line, m_function, m_stream.Utf8());
    } catch (...) {
        // a failing sink must not take the caller down
    }
}

std::string QualifiedFunctionName(const char* pretty) {
    if (!pretty) return std::string();
    std::string s(pretty);
    // Cut the argument list: the first '(' at template depth 0 that is not part of "operator()".
    int depth = 0;
    size_t paren = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth <= 0) {
            if (i >= 8 && s.compare(i - 8, 8, "operator") == 0 && i + 1 < s.size() && s[i + 1] == ')') {
                ++i;
                continue;
            }
            paren = i;
            break;
        }
    }
    if (paren != std::string::npos) s.resize(paren);
    // Drop the return type: the last blank at template depth 0.
    depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == ' ' && depth == 0) start = i + 1;
    }
    return s.substr(start);
}

ScopedLogCapture::ScopedLogCapture(int rootLevel)
    : m_sink(std::make_shared<CapturingLogSink>()), m_previousLevel(Logger::GetRootLevel()) {
    Logger::SetRootLevel(rootLevel);
    Logger::AddSink(m_sink);
}

ScopedLogCapture::~ScopedLogCapture() {
    Logger::RemoveSink(m_sink);
    Logger::SetRootLevel(m_previousLevel);
}

}  // namespace Common
}  // namespace Halvora
