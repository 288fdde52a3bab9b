// ruvar: try the RuvarEduzid library from the command line.

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/Version.h"
#include "tools/ruvar/Commands.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <utility>

namespace Ruvar {

const std::vector<std::string> kCommonFlags = {"--json", "--quiet"};
const std::vector<std::string> kCommonValued = {"--log-level"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

namespace {
// Keeps the library's first error record (the root cause), so that a failure is reported in one line.
class LastErrorSink : public Halvora::Common::LogSink {
public:
    void Write(const Halvora::Common::LogRecord& record) override {
        if (record.level < Halvora::Common::LogError) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_last.empty()) m_last = record.message.rfind("Throw: ", 0) == 0 ? record.message.substr(7) : record.message;
    }
    std::string Last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }

private:
    std::mutex m_mutex;
    std::string m_last;
};
std::shared_ptr<LastErrorSink> g_lastError = std::make_shared<LastErrorSink>();
}  // namespace

Output MakeOutput(const Args& args) {
    using Halvora::Common::Logger;
    if (auto level = args.Value("--log-level")) {
        // The library's log goes to standard error from the chosen level on.
        Logger::SetRootLevel(static_cast<int>(ParseInteger("--log-level", *level, 0, 5)));
        Logger::AddSink(g_lastError);
    } else {
        // Quiet library: its last error becomes part of the tool's one-line message.
        Logger::ReplaceSinks({g_lastError});
        Logger::SetRootLevel(Halvora::Common::LogError);
    }
    return Output(args.Has("--json"), args.Has("--quiet"));
}

std::string LastLibraryError() { return g_lastError->Last(); }

std::string WithCause(const std::string& message) {
    std::string cause = LastLibraryError();
    return cause.empty() ? message : message + ": " + cause;
}

bool HelpRequested(const std::vector<std::string>& argv, const char* help) {
    for (const auto& a : argv) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::fputs(help, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace Ruvar

namespace {

const char* kHelp =
    "Usage: ruvar COMMAND [OPTIONS]\n"
    "\n"
    "Decode, inspect and write video with the RuvarEduzid library.\n"
    "\n"
    "Commands:\n"
    "  probe SOURCE                  container, codec, size, frame rate and duration of a source\n"
    "  decode SOURCE                 decode frames; one line per frame with its UTC capture time\n"
    "  packets SOURCE [-o FILE]      compressed packets (Annex B); optionally saved as a raw stream\n"
    "  mp4 SOURCE OUTPUT             transcode to an H.264 video file (MP4 unless the name says otherwise)\n"
    "  hls SOURCE MASTER.m3u8        write an HLS presentation with one or more renditions\n"
    "  convert RAW.h264 OUTPUT.mp4   wrap a raw H.264 stream into MP4 (no re-encoding)\n"
    "  demo [--output DIR]           make a test video, decode it, write MP4 and HLS; no input needed\n"
    "\n"
    "SOURCE is a file or an rtsp://, http:// or https:// address.\n"
    "\n"
    "Options for every command:\n"
    "  --json             machine-readable output: one JSON object per line\n"
    "  --quiet            no progress line, only errors from the library\n"
    "  --log-level N      library log level: 0 trace, 1 debug, 2 info, 3 warning (default), 4 error\n"
    "  -h, --help         help for the command\n"
    "\n"
    "Run 'ruvar COMMAND --help' for a command's options.\n"
    "Exit status: 0 success, 1 the work failed, 2 the command line is wrong.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (command == "--version") {
            // The library's version and the FFmpeg libraries it runs on (not those it was built with).
            std::printf("ruvar %s\n", RuvarEduzid_GetVersion());
            for (auto [name, version] : {std::pair<const char*, unsigned>{"libavformat", avformat_version()},
                                         {"libavcodec", avcodec_version()}, {"libavutil", avutil_version()},
                                         {"libswscale", swscale_version()}})
                std::printf("%s %u.%u.%u\n", name, AV_VERSION_MAJOR(version), AV_VERSION_MINOR(version),
                            AV_VERSION_MICRO(version));
            return 0;
        }
        if (command == "probe") return Ruvar::Probe(args);
        if (command == "decode") return Ruvar::Decode(args);
        if (command == "packets") return Ruvar::Packets(args);
        if (command == "mp4") return Ruvar::Mp4(args);
        if (command == "hls") return Ruvar::Hls(args);
        if (command == "convert") return Ruvar::Convert(args);
        if (command == "demo") return Ruvar::Demo(args);
        throw Ruvar::UsageError("unknown command '" + command + "'");
    } catch (const Ruvar::UsageError& e) {
        std::fprintf(stderr, "ruvar: %s\nTry 'ruvar %s--help'.\n", e.what(),
                     command.empty() || command[0] == '-' ? "" : (command + " ").c_str());
        return 2;
    } catch (const Ruvar::RunError& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", e.what());
        return 1;
    } catch (const Halvora::Common::Exception& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", e.what());
        return 1;
    }
}
