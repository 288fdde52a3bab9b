#pragma once

#include "tools/ruvar/Cli.h"

#include <string>
#include <vector>

namespace Ruvar {

// Options every command accepts.
struct Common {
    bool json = false;
    bool quiet = false;
};

// Each command takes its arguments (without the command name) and returns the exit code.
int Probe(const std::vector<std::string>& argv);
int Decode(const std::vector<std::string>& argv);
int Packets(const std::vector<std::string>& argv);
int Mp4(const std::vector<std::string>& argv);
int Hls(const std::vector<std::string>& argv);
int Convert(const std::vector<std::string>& argv);
int Demo(const std::vector<std::string>& argv);

// Applies --json, --quiet and --log-level; returns the output to use.
Output MakeOutput(const Args& args);
// The library's first error text ("" when none); `message` with it appended after ": ".
std::string LastLibraryError();
std::string WithCause(const std::string& message);
// The option names MakeOutput reads.
extern const std::vector<std::string> kCommonFlags;
extern const std::vector<std::string> kCommonValued;
// -y and --overwrite: the commands that write files replace existing ones only when given.
extern const std::vector<std::string> kOverwriteFlags;
bool Overwrite(const Args& args);
// A stream that ended in Error after `frames` frames: says so on standard error (what was
// written stays; the command exits 1).
void ReportLostStream(int endState, int64_t frames, const std::string& source);
std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b);
// Prints a command's help when --help or -h is among its arguments; returns true if it did.
bool HelpRequested(const std::vector<std::string>& argv, const char* help);

}  // namespace Ruvar
