// The installed package works for another project: CMake package and pkg-config file.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using RuvarTest::Quote;
using RuvarTest::RunCommand;

namespace {
#if defined(__SANITIZE_ADDRESS__)
const std::string kFlags = "-fsanitize=address,undefined";
#else
const std::string kFlags = "";
#endif

class PackageConsumer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_prefix = RuvarTest::TempDir("package") + "/prefix";
        std::string out;
        s_installed = RunCommand("cmake --install " + Quote(RUVAR_BINARY_DIR) + " --prefix " + Quote(s_prefix), &out, true) == 0;
        s_log = out;
        s_video = RuvarTest::MakeFixture("consumer.mp4", "-f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p");
    }
    static std::string s_prefix, s_log, s_video;
    static bool s_installed;
};
std::string PackageConsumer::s_prefix, PackageConsumer::s_log, PackageConsumer::s_video;
bool PackageConsumer::s_installed = false;
}  // namespace

TEST_F(PackageConsumer, InstallPutsLibrariesHeadersToolAndPackageFilesInPlace) {
    ASSERT_TRUE(s_installed) << s_log;
    for (const char* path : {"/lib/libRuvarEduzid.so", "/lib/libHalvoraCommon.so", "/include/RuvarEduzid/RuvarEduzid/DecoderUtils.h",
                             "/include/RuvarEduzid/Common/Logger.h", "/lib/cmake/RuvarEduzid/RuvarEduzidConfig.cmake",
                             "/lib/pkgconfig/ruvareduzid.pc", "/bin/ruvar"})
        EXPECT_EQ(RunCommand("test -e " + Quote(s_prefix + path)), 0) << path;
}

TEST_F(PackageConsumer, InstalledLibraryLoadedByFullPathFindsHalvoraCommonInItsOwnFolder) {
    ASSERT_TRUE(s_installed) << s_log;
    std::string lib = s_prefix + "/lib";
    std::string out;
    int rc = RunCommand("env -u LD_LIBRARY_PATH ASAN_OPTIONS=detect_leaks=0 " + Quote(RUVAR_LIBRARY_LOADER) + " " +
                            Quote(lib + "/libRuvarEduzid.so") + " " + Quote(lib + "/libHalvoraCommon.so.1"),
                        &out, true);
    EXPECT_EQ(rc, 0) << out;
}

TEST_F(PackageConsumer, CMakeProjectBuildsAndRunsAgainstTheInstalledPackage) {
    ASSERT_TRUE(s_installed) << s_log;
    std::string build = s_prefix + "/../consumer-cmake";
    std::string out;
    int rc = RunCommand("cmake -S " + Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/data/consumer") + " -B " + Quote(build) +
                            " -DCMAKE_PREFIX_PATH=" + Quote(s_prefix) + " -DCMAKE_CXX_FLAGS=" + Quote(kFlags) +
                            " && cmake --build " + Quote(build),
                        &out, true);
    ASSERT_EQ(rc, 0) << out;
    rc = RunCommand("ASAN_OPTIONS=detect_leaks=0 " + Quote(build + "/consumer") + " " + Quote(s_video), &out, true);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("96x64 10 level 4.1"), std::string::npos) << out;
}

TEST_F(PackageConsumer, PkgConfigFileCompilesAndLinksAProgram) {
    ASSERT_TRUE(s_installed) << s_log;
    std::string exe = s_prefix + "/../consumer-pc";
    std::string out;
    int rc = RunCommand("PKG_CONFIG_PATH=" + Quote(s_prefix + "/lib/pkgconfig") + " sh -c " +
                            Quote("g++ " + kFlags + " " + Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/data/consumer/main.cpp") +
                                  " -o " + Quote(exe) + " $(pkg-config --cflags --libs ruvareduzid) -Wl,-rpath," + s_prefix + "/lib"),
                        &out, true);
    ASSERT_EQ(rc, 0) << out;
    rc = RunCommand("ASAN_OPTIONS=detect_leaks=0 " + Quote(exe) + " " + Quote(s_video), &out, true);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("96x64"), std::string::npos) << out;
}
