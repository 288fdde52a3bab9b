#pragma once

// Shared set-up of the libFuzzer targets: the library's log goes to /dev/null (the log code still
// runs at its default level), FFmpeg's own log is silenced, and input can be written to a file.

#include <cstddef>
#include <cstdint>
#include <string>

namespace RuvarFuzz {

// Once per process, before the first log record.
void Initialize();

// Writes the input to a private temporary file (one per fuzzer process) and returns its path.
const std::string& WriteInputFile(const uint8_t* data, size_t size);

// The input as text (bytes kept as they are) and as a wide string decoded as UTF-8.
std::string AsText(const uint8_t* data, size_t size);
std::wstring AsWide(const uint8_t* data, size_t size);

}  // namespace RuvarFuzz
