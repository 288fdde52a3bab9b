#pragma once

// Included by the one source file of a test program that drives the stand-in NVIDIA drivers. CTest
// runs it with LD_LIBRARY_PATH naming the stand-ins (tests/CMakeLists.txt; by hand: the same);
// `RunChild` runs one case of this program with another library path (no driver, a driver lacking
// an entry point).

#include "NvStub.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace NvStubHarness {

// Runs the (disabled) case `filter` of this program with LD_LIBRARY_PATH = `libraryPath`; true when
// it ran and passed.
inline bool RunChild(const std::string& filter, const std::string& libraryPath, std::string* output) {
    std::string cmd = "LD_LIBRARY_PATH=" + RuvarTest::Quote(libraryPath) + " " +
                      RuvarTest::Quote(std::filesystem::read_symlink("/proc/self/exe")) +
                      " --gtest_also_run_disabled_tests --gtest_filter=" + RuvarTest::Quote(filter);
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
