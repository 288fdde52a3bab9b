#pragma once

#include "Common/Export.h"
#include "Common/Logger.h"

#include <exception>
#include <ostream>
#include <string>

namespace Halvora {
namespace Common {

// A standard exception with a message (UTF-8).
class HALVORA_COMMON_API Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Message() const { return m_message; }

private:
    std::string m_message;
};

class HALVORA_COMMON_API CodeErrorException : public Exception {
public:
    using Exception::Exception;
};

HALVORA_COMMON_API std::ostream& operator<<(std::ostream& os, const Exception& e);
inline LogStream& operator<<(LogStream& s, const Exception& e) { return s << e.Message(); }

// Logs "Throw: " + message at error level with the given place, then throws CodeErrorException.
[[noreturn]] HALVORA_COMMON_API void ThrowCodeError(const std::string& message, const char* file, int line,
                                                    const char* function);

}  // namespace Common
}  // namespace Halvora

// HALVORA_THROW("Could not open " << path);
#define HALVORA_THROW(expr)                                                                             \
    do {                                                                                                \
        ::Halvora::Common::LogStream halvoraThrowStream_;                                               \
        halvoraThrowStream_ << expr;                                                                    \
        ::Halvora::Common::ThrowCodeError(halvoraThrowStream_.Utf8(), __FILE__, __LINE__, HALVORA_FUNCTION); \
    } while (0)
