#include "Common/Exception.h"

namespace Halvora {
namespace Common {

std::ostream& operator<<(std::ostream& os, const Exception& e) { return os << e.Message(); }

void ThrowCodeError(const std::string& message, const char* file, int line, const char* function) {
    Logger::Log(LogError, file, line, function, "Throw: " + message);
    throw CodeErrorException(message);
}

}  // namespace Common
}  // namespace Halvora
