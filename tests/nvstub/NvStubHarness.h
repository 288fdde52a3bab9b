#pragma once

// Included by the one source file of a test program that drives the stand-in NVIDIA drivers.
// Before main runs, the program starts itself again with LD_LIBRARY_PATH naming the stand-ins
// (the dynamic loader reads it only at start-up); `RunChild` runs one case of this program with
// another library path (no driver, a driver lacking an entry point).

#include "NvStub.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace NvStubHarness {

inline std::string SelfPath() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

struct Reexec {
    Reexec() {
        if (std::getenv("RUVAR_NVSTUB_ENV")) return;
        setenv("RUVAR_NVSTUB_ENV", "1", 1);
        // The stand-ins come first; whatever the caller had stays behind them.
        const char* previous = std::getenv("LD_LIBRARY_PATH");
        std::string path = NVSTUB_LIB_DIR;
        if (previous && *previous) path += std::string(":") + previous;
        setenv("LD_LIBRARY_PATH", path.c_str(), 1);
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::vector<std::string> parts;
        for (std::string part; std::getline(in, part, '\0');) parts.push_back(part);
        std::vector<char*> argv;
        for (auto& p : parts) argv.push_back(&p[0]);
        argv.push_back(nullptr);
        std::string self = SelfPath();
        execv(self.c_str(), argv.data());
        // Could not start again: the cases that need the stand-ins fail on their own.
    }
};
inline Reexec g_reexec;

// Runs the (disabled) case `filter` of this program with LD_LIBRARY_PATH = `libraryPath`; true when
// it ran and passed.
inline bool RunChild(const std::string& filter, const std::string& libraryPath, std::string* output) {
    std::string cmd = "RUVAR_NVSTUB_ENV=1 LD_LIBRARY_PATH=" + RuvarTest::Quote(libraryPath) + " " +
                      RuvarTest::Quote(SelfPath()) + " --gtest_also_run_disabled_tests --gtest_filter=" +
                      RuvarTest::Quote(filter);
    int rc = RuvarTest::RunCommand(cmd, output, true);
    return rc == 0 && output->find("[  PASSED  ] 1 test") != std::string::npos;
}

// True when a real NVIDIA encoder library is installed on this machine (then the no-driver cases
// cannot run).
inline bool RealDriverPresent() {
    return std::system("ldconfig -p 2>/dev/null | grep -q libnvidia-encode.so.1") == 0;
}

class StubTest : public ::testing::Test {
protected:
    void SetUp() override { NvStub::Reset(); }
    void TearDown() override { NvStub::Reset(); }
    NvStub::State& S() { return NvStub::Get(); }
};

}  // namespace NvStubHarness
