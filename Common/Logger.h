#pragma once

#include "Common/Export.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace Halvora {
namespace Common {

// Log levels: 4 error, 3 warning, 2 info, 1 debug, 0 trace.
enum LogLevelValue : int { LogTrace = 0, LogDebug = 1, LogInfo = 2, LogWarning = 3, LogError = 4 };

struct HALVORA_COMMON_API LogRecord {
    int level = 0;
    std::string logger;    // always "root"
    std::string file;      // source file, empty for records without a place
    int line = 0;
    std::string function;  // qualified function name
    std::string message;   // UTF-8
};

// A destination of log records. Sinks are called under the logger's lock.
class HALVORA_COMMON_API LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(const LogRecord& record) = 0;
};

// Keeps every record it receives; tests use it to assert log lines.
class HALVORA_COMMON_API CapturingLogSink : public LogSink {
public:
    void Write(const LogRecord& record) override;
    std::vector<LogRecord> Records() const;
    // Messages of the records at exactly `level` (all levels when level < 0).
    std::vector<std::string> Messages(int level = -1) const;
    bool Contains(std::string_view text, int level = -1) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// Stream that collects one record's text. Narrow strings are taken as UTF-8.
class HALVORA_COMMON_API LogStream {
public:
    LogStream& operator<<(const std::string& s);
    LogStream& operator<<(std::string_view s);
    LogStream& operator<<(const char* s);
    LogStream& operator<<(char* s) { return *this << static_cast<const char*>(s); }
    LogStream& operator<<(const std::wstring& s) { m_os << s; return *this; }
    LogStream& operator<<(const wchar_t* s) { m_os << (s ? s : L"(null)"); return *this; }
    LogStream& operator<<(char c) { m_os << static_cast<wchar_t>(static_cast<unsigned char>(c)); return *this; }
    LogStream& operator<<(std::wostream& (*manip)(std::wostream&)) { manip(m_os); return *this; }
    LogStream& operator<<(std::ios_base& (*manip)(std::ios_base&)) { manip(m_os); return *this; }
    template <typename T>
    LogStream& operator<<(const T& value) {
        m_os << value;
        return *this;
    }
    std::wostringstream& Stream() { return m_os; }
    std::string Utf8() const;

private:
    std::wostringstream m_os;
};

class HALVORA_COMMON_API Logger {
public:
    // Records below this level are dropped. Read by every log site.
    static std::atomic<int> _rootLevel;

    static int GetRootLevel() { return _rootLevel.load(std::memory_order_relaxed); }
    static void SetRootLevel(int level) { _rootLevel.store(level, std::memory_order_relaxed); }
    static bool IsEnabled(int level) { return GetRootLevel() <= level; }

    static void AddSink(std::shared_ptr<LogSink> sink);
    static void RemoveSink(const std::shared_ptr<LogSink>& sink);
    // Installs `sinks` in place of the present ones (the standard-error sink included) and
    // returns those it replaced.
    static std::vector<std::shared_ptr<LogSink>> ReplaceSinks(std::vector<std::shared_ptr<LogSink>> sinks);
    // Emits a record to every sink when the root level allows it.
    static void Emit(const LogRecord& record);
    static void Log(int level, const char* file, int line, const char* function, const std::string& message);

    // One log record, emitted when the scope ends.
    class HALVORA_COMMON_API ScopedLog {
    public:
        ScopedLog(int level, const char* file, int line, const char* function);
        ~ScopedLog();
        ScopedLog(const ScopedLog&) = delete;
        ScopedLog& operator=(const ScopedLog&) = delete;
        LogStream& Stream() { return m_stream; }

    private:
        int m_level;
        const char* m_file;
        int m_line;
        const char* m_function;
        LogStream m_stream;
    };
};

// "Halvora::Common::Foo::Bar" from a __PRETTY_FUNCTION__ text.
HALVORA_COMMON_API std::string QualifiedFunctionName(const char* prettyFunction);

// Captures records for the life of the object (tests).
class HALVORA_COMMON_API ScopedLogCapture {
public:
    explicit ScopedLogCapture(int rootLevel = 0);
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
    CapturingLogSink& Sink() { return *m_sink; }

private:
    std::shared_ptr<CapturingLogSink> m_sink;
    int m_previousLevel;
};

}  // namespace Common
}  // namespace Halvora

#define HALVORA_FUNCTION (::Halvora::Common::QualifiedFunctionName(__PRETTY_FUNCTION__).c_str())

// HLOG(level) << "text" << value;
#define HLOG(level)                                    \
    if (!::Halvora::Common::Logger::IsEnabled(level)) \
        ;                                              \
    else                                               \
        ::Halvora::Common::Logger::ScopedLog((level), __FILE__, __LINE__, HALVORA_FUNCTION).Stream()

#define HLOG_ERROR HLOG(::Halvora::Common::LogError)
#define HLOG_WARNING HLOG(::Halvora::Common::LogWarning)
#define HLOG_INFO HLOG(::Halvora::Common::LogInfo)
#define HLOG_DEBUG HLOG(::Halvora::Common::LogDebug)
#define HLOG_TRACE HLOG(::Halvora::Common::LogTrace)
