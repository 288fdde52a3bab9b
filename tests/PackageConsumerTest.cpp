// The library as hosts and other projects use it: what the shared library shows, loaded by its full
// path from a folder of its own; the package installed like a Debian package (prefix /usr, the
// configured library folder such as lib/x86_64-linux-gnu) into a DESTDIR staging folder, found by
// CMake and by pkg-config; every installed header compiles alone; the examples build against it and
// run.
#include "RuvarEduzid/IClipVideoWriter.h"
#include "RuvarEduzid/IHlsWriter.h"
#include "RuvarEduzid/Native/Interfaces.h"
#include "RuvarEduzid/Version.h"
#include "support/Servers.h"
#include "support/Support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

using RuvarTest::Quote;
using RuvarTest::RunCommand;

// Plain functions by C name, exported classes, nothing internal.
TEST(SharedLibrary, ShowsItsPlainFunctionsAndExportedClassesOnly) {
    for (const char* name : {
#include "ExportedFunctions.inc"
         })
        if (*name) { EXPECT_NE(RuvarTest::ExportedSymbol(name), nullptr) << name; }
    std::string symbols;
    ASSERT_EQ(RunCommand("nm -D --defined-only -C " + Quote(RUVAR_SHARED_LIBRARY), &symbols), 0);
    for (const char* name : {"RuvarEduzid::FFMpegGate::EnsureInitialization(", "RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId",
                             "RuvarEduzid::DecodedAvFrame::DecodedAvFrame(Halvora::Video::Native::IDecodedFrame*)",
                             "typeinfo for Halvora::Orvi::Yuv420PImage", "RuvarEduzid::Yuv420PFrame::Resize(int, int, bool)",
                             "RuvarEduzid::FfmpegImageConverter::Convert(AVFrame const*, AVFrame*) const"})
        EXPECT_NE(symbols.find(name), std::string::npos) << name;
    for (const char* internal : {"Detail::", "AVFrameProxy", "Rtsp::RtspSession"})
        EXPECT_EQ(symbols.find(internal), std::string::npos) << internal;
}

namespace {
// Index of a virtual function in its class's table (Itanium C++ ABI: the member pointer holds 1 +
// the byte offset of the entry; a virtual destructor takes the first two entries).
template <typename M>
long Slot(M member) {
    ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    return static_cast<long>((words[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}
}  // namespace

// The host calls through the virtual tables: the operations keep their places.
TEST(SharedLibrary, VirtualOperationsKeepTheirSlots) {
    using namespace Halvora::Video::Native;
    using namespace Halvora::RuvarEduzid;
    using Parameters = std::vector<std::shared_ptr<DecoderParameter>>;
    using InitBuffer = bool (IVideoDecoder::*)(unsigned char*, size_t, size_t, bool, const Parameters*);
    using InitInfo = bool (IVideoDecoder::*)(const VideoFileInfo&, const Parameters*);
    using WriteImage = void (IVideoWriter::*)(const Halvora::Orvi::Yuv420PImage&, const Halvora::Common::DateTime&);
    using WriteFlag = void (IClipVideoWriter::*)(std::shared_ptr<IDecodedFrame>, bool);
    const std::vector<long> slots = {
        Slot(&IPlugin::GetId), Slot(&IPacketDemuxer::GetNextPacket), Slot(&IFrameDecoder::GetNextFrame),
        Slot(&IFrameDecoder::GetFrame), Slot(&IFrameDecoder::Interrupt), Slot(static_cast<InitBuffer>(&IVideoDecoder::Initialize)),
        Slot(static_cast<InitInfo>(&IVideoDecoder::Initialize)), Slot(&IVideoDecoder::AppendChunkToBuffer),
        Slot(&IDecodedImage::ImageData), Slot(&IDecodedImage::Format), Slot(&IDecodedImage::GetUV),
        Slot(&IDecodedFrame::GetFileTimeUtc), Slot(&IDecodedFrame::MoveToRam), Slot(&IEncodedPacket::GetDemuxerState),
        Slot(static_cast<WriteImage>(&IVideoWriter::WriteFrame)), Slot(static_cast<WriteFlag>(&IClipVideoWriter::WriteFrame)),
        Slot(&IClipVideoWriter::Dispose), Slot(&IHlsWriter::IsMasterFileFlushed)};
    EXPECT_EQ(slots, (std::vector<long>{2, 2, 2, 4, 6, 7, 8, 10, 2, 10, 14, 15, 18, 5, 0, 4, 7, 4}));
}

namespace {
#if defined(__SANITIZE_ADDRESS__)
const std::string kFlags = "-fsanitize=address,undefined";
#else
const std::string kFlags = "";
#endif
const std::string kVersion = RUVAREDUZID_VERSION_STRING;

class PackageConsumer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_stage = RuvarTest::TempDir("package");
        s_prefix = s_stage + "/usr";
        s_lib = s_prefix + "/" + RUVAR_INSTALL_LIBDIR;
        s_include = s_prefix + "/include/RuvarEduzid";
        s_installed = RunCommand("DESTDIR=" + Quote(s_stage) + " cmake --install " + Quote(RUVAR_BINARY_DIR) + " --prefix /usr",
                                 &s_log, true) == 0;
        s_video = RuvarTest::MakeFixture("consumer.mp4", "-f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p");
    }
    static void TearDownTestSuite() {
        if (!::testing::UnitTest::GetInstance()->Failed()) RunCommand("rm -rf " + Quote(s_stage));  // kept when failed
    }
    // Configures and builds a CMake project against the staged package.
    static int BuildCMakeProject(const std::string& source, const std::string& build, std::string* out) {
        return RunCommand("cmake -S " + Quote(source) + " -B " + Quote(build) + " -DCMAKE_PREFIX_PATH=" + Quote(s_prefix) +
                              " -DCMAKE_CXX_FLAGS=" + Quote(kFlags + " -Wall -Wextra -Werror") + " && cmake --build " +
                              Quote(build) + " -j2",
                          out, true);
    }
    static std::string s_stage, s_prefix, s_lib, s_include, s_log, s_video;
    static bool s_installed;
};
std::string PackageConsumer::s_stage, PackageConsumer::s_prefix, PackageConsumer::s_lib, PackageConsumer::s_include,
    PackageConsumer::s_log, PackageConsumer::s_video;
bool PackageConsumer::s_installed = false;

std::set<std::string> Lines(const std::string& text, const std::string& prefix) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.insert(line.substr(prefix.size()));
    return lines;
}
}  // namespace

TEST_F(PackageConsumer, InstallPutsPublicHeadersLibrariesToolAndPackageFilesInPlace) {
    ASSERT_TRUE(s_installed) << s_log;
    for (const std::string& path :
         {s_lib + "/libRuvarEduzid.so", s_lib + "/libHalvoraCommon.so", s_lib + "/cmake/RuvarEduzid/RuvarEduzidConfig.cmake",
          s_lib + "/pkgconfig/ruvareduzid.pc", s_prefix + "/bin/ruvar", s_include + "/RuvarEduzid/DecoderUtils.h",
          s_include + "/RuvarEduzid/Version.h", s_include + "/RuvarEduzid/Native/Interfaces.h", s_include + "/Common/Logger.h",
          s_include + "/Orvi/Yuv420PImage.h"})
        EXPECT_EQ(RunCommand("test -e " + Quote(path)), 0) << path;
    for (const std::string& path : {s_include + "/Rtsp", s_include + "/RuvarEduzid/WebStreamDetail.h",
                                    s_include + "/RuvarEduzid/FrameLayout.h", s_include + "/RuvarEduzid/AVFrameProxy.h"})
        EXPECT_NE(RunCommand("test -e " + Quote(path)), 0) << path << " is internal";

    // The tool names its version and the FFmpeg libraries it runs on, as ffprobe does.
    std::string tool, ffprobe;
    ASSERT_EQ(RunCommand("ASAN_OPTIONS=detect_leaks=0 " + Quote(s_prefix + "/bin/ruvar") + " --version", &tool, true), 0) << tool;
    EXPECT_EQ(tool.rfind("ruvar " + kVersion + "\n", 0), 0u) << tool;
    ASSERT_EQ(RunCommand("ffprobe -version", &ffprobe), 0);
    for (const std::string lib : {"libavformat", "libavcodec", "libavutil", "libswscale"}) {
        std::smatch m;  // "libavformat    59. 27.100 / 59. 27.100": built with / running on
        ASSERT_TRUE(std::regex_search(ffprobe, m, std::regex(lib + "[ 0-9.]+/ *([0-9]+)\\. *([0-9]+)\\.([0-9]+)"))) << ffprobe;
        EXPECT_NE(tool.find(lib + " " + m.str(1) + "." + m.str(2) + "." + m.str(3) + "\n"), std::string::npos) << tool;
    }
}

// A host that ships libRuvarEduzid.so in a folder of its own loads it by its full path (as a managed
// host does); the library finds libHalvoraCommon.so.1 beside it, without LD_LIBRARY_PATH. Run by
// the case below in a process of its own (this program holds no copy of either library).
TEST(PackageConsumerChild, DISABLED_LoadedByFullPath) {
    const std::string lib = std::getenv("RUVAR_LOAD") ? std::getenv("RUVAR_LOAD") : "";
    void* library = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using Decoder = Halvora::RuvarEduzid::FFMpegDecoder;
    auto create = reinterpret_cast<Decoder* (*)()>(dlsym(library, "FFMpegDecoder_Create"));
    auto destroy = reinterpret_cast<void (*)(Decoder*)>(dlsym(library, "FFMpegDecoder_Destroy"));
    ASSERT_TRUE(create && destroy);
    destroy(create());
    void* common = dlopen("libHalvoraCommon.so.1", RTLD_NOW | RTLD_NOLOAD);
    link_map* map = nullptr;
    ASSERT_TRUE(common && dlinfo(common, RTLD_DI_LINKMAP, &map) == 0 && map->l_name);
    EXPECT_EQ(std::filesystem::canonical(map->l_name),
              std::filesystem::canonical(std::filesystem::path(lib).parent_path() / "libHalvoraCommon.so.1"));
}
TEST_F(PackageConsumer, InstalledLibraryLoadedByFullPathFindsHalvoraCommonInItsOwnFolder) {
    ASSERT_TRUE(s_installed) << s_log;
    std::string out;
    RunCommand("env -u LD_LIBRARY_PATH ASAN_OPTIONS=detect_leaks=0 RUVAR_LOAD=" + Quote(s_lib + "/libRuvarEduzid.so") + " " +
                   Quote(std::filesystem::read_symlink("/proc/self/exe")) +
                   " --gtest_also_run_disabled_tests --gtest_filter=PackageConsumerChild.DISABLED_LoadedByFullPath",
               &out, true);
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

// The project keeps its own pkg-config results, its own OpenCV targets and its C++20, and
// compiles every installed header on its own (tests/data/consumer/CMakeLists.txt).
TEST_F(PackageConsumer, CMakeProjectWithPackagesOfItsOwnBuildsEveryHeaderAndRuns) {
    ASSERT_TRUE(s_installed) << s_log;
    std::string build = s_stage + "/consumer-cmake";
    std::string out;
    ASSERT_EQ(BuildCMakeProject(std::string(RUVAR_SOURCE_DIR) + "/tests/data/consumer", build, &out), 0) << out;
    EXPECT_NE(out.find("headers/RuvarEduzid_FFMpegDecoder_h.cpp"), std::string::npos) << out;
    EXPECT_EQ(RunCommand("ASAN_OPTIONS=detect_leaks=0 " + Quote(build + "/consumer") + " " + Quote(s_video), &out, true), 0) << out;
    EXPECT_NE(out.find("version " + kVersion + "\n96x64 10 level 4.1"), std::string::npos) << out;
}

TEST_F(PackageConsumer, PkgConfigFileCompilesAndLinksAProgram) {
    ASSERT_TRUE(s_installed) << s_log;
    const std::string pc = "PKG_CONFIG_PATH=" + Quote(s_lib + "/pkgconfig") + " pkg-config ";
    std::string cflags, version, out;
    ASSERT_EQ(RunCommand(pc + "--cflags ruvareduzid", &cflags, true), 0) << cflags;
    EXPECT_EQ(cflags.find("-std"), std::string::npos) << cflags;
    ASSERT_EQ(RunCommand(pc + "--modversion ruvareduzid", &version), 0);
    EXPECT_EQ(version, kVersion + "\n");
    std::string exe = s_stage + "/consumer-pc";
    int rc = RunCommand("g++ -std=c++20 " + kFlags + " " + Quote(std::string(RUVAR_SOURCE_DIR) + "/tests/data/consumer/main.cpp") +
                            " -o " + Quote(exe) + " $(" + pc + "--cflags --libs ruvareduzid) -Wl,-rpath," + Quote(s_lib),
                        &out, true);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(RunCommand("ASAN_OPTIONS=detect_leaks=0 " + Quote(exe) + " " + Quote(s_video), &out, true), 0) << out;
    EXPECT_NE(out.find("version " + kVersion + "\n96x64"), std::string::npos) << out;
}

// examples/ on its own against the package, as its CMakeLists.txt says; ffprobe reads the results.
TEST_F(PackageConsumer, ExamplesBuildAgainstThePackageAndWriteWhatFfprobeReads) {
    ASSERT_TRUE(s_installed) << s_log;
    const std::string build = s_stage + "/examples", out = s_stage + "/out";
    std::string log;
    ASSERT_EQ(BuildCMakeProject(std::string(RUVAR_SOURCE_DIR) + "/examples", build, &log), 0) << log;
    RunCommand("mkdir -p " + Quote(out + "/hls"));

    // A file decoded to MP4, every frame.
    ASSERT_EQ(RunCommand(Quote(build + "/FileToMp4") + " " + Quote(s_video) + " " + Quote(out + "/file.mp4"), &log, true), 0) << log;
    EXPECT_EQ(Lines(log, "frame ").size(), 10u) << log;
    EXPECT_EQ(RuvarTest::CountFrames(out + "/file.mp4"), 10);
    EXPECT_EQ(RuvarTest::StreamField(out + "/file.mp4", "width"), "96");

    // Raw H.264 to MP4 in memory.
    std::string raw = RuvarTest::MakeFixture("consumer.h264", "-f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -f h264");
    ASSERT_EQ(RunCommand(Quote(build + "/H264ToMp4") + " " + Quote(raw) + " " + Quote(out + "/raw.mp4") + " 10", &log, true), 0) << log;
    EXPECT_EQ(RuvarTest::CountFrames(out + "/raw.mp4"), 10);
    EXPECT_EQ(RuvarTest::StreamField(out + "/raw.mp4", "avg_frame_rate"), "10/1");

    // A live camera (GStreamer's RTSP server) to two-rendition HLS, ended by the frame limit.
    RuvarTest::GstServer camera(RuvarTest::GstLiveLaunch());
    ASSERT_GT(camera.Port(), 0);
    ASSERT_EQ(RunCommand(Quote(build + "/CameraToHls") + " " + Quote(camera.Url()) + " " + Quote(out + "/hls/master.m3u8") + " 75",
                         &log, true),
              0)
        << log;
    EXPECT_EQ(Lines(log, "frame ").size(), 75u) << log;
    std::string segments;
    RunCommand("cd " + Quote(out) + " && find hls -name '*.ts'", &segments);
    EXPECT_EQ(Lines(log, "segment " + out + "/"), Lines(segments, "")) << log;  // every segment told once
    EXPECT_GE(Lines(segments, "").size(), 4u) << segments;
    for (const auto& [rendition, width] : {std::pair<std::string, std::string>{"0", "320"}, {"1", "160"}}) {
        EXPECT_EQ(RuvarTest::CountFrames(out + "/hls/" + rendition + "/video.m3u8"), 75) << rendition;
        EXPECT_EQ(RuvarTest::StreamField(out + "/hls/" + rendition + "/out000.ts", "width"), width);
    }
}
