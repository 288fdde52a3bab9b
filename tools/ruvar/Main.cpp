// ruvar: try the RuvarEduzid library from the command line.

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/Version.h"
#include "tools/ruvar/Commands.h"
#include "tools/ruvar/StopSignal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <utility>

namespace Ruvar {

const std::vector<std::string> kCommonFlags = {"--json", "--quiet"};
const std::vector<std::string> kCommonValued = {"--log-level"};
const std::vector<std::string> kOverwriteFlags = {"-y", "--overwrite"};

bool Overwrite(const Args& args) { return args.Has("-y") || args.Has("--overwrite"); }

void ReportLostStream(int endState, int64_t frames, const std::string& source) {
    if (endState != 1 || frames == 0) return;  // Error after frames; with none the command fails as a whole
    std::fprintf(stderr, "ruvar: error: %s\n",
                 WithCause("the stream '" + Halvora::Common::StringUtility::HideRtspPassword(source) + "' was lost after " +
                           std::to_string(frames) + " frames")
                     .c_str());
}

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

const std::vector<std::string> kCommands = {"probe", "decode", "packets", "mp4", "hls", "convert", "demo"};

const char* kHelp =
    "Usage: ruvar [OPTIONS] COMMAND [OPTIONS]\n"
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
    "SOURCE is a file or an rtsp://, http:// or https:// address. Options may come before or after\n"
    "the command.\n"
    "\n"
    "Options for every command:\n"
    "  --json             machine-readable output: one JSON object per line\n"
    "  --quiet            no progress line, only errors from the library\n"
    "  --log-level N      library log level: 0 trace, 1 debug, 2 info, 3 warning (default), 4 error\n"
    "  -y, --overwrite    replace existing output (mp4, hls, convert, packets -o, demo)\n"
    "  -h, --help         help for the command\n"
    "\n"
    "Run 'ruvar COMMAND --help' for a command's options.\n"
    "Ctrl-C (or SIGTERM) stops reading and finishes the output written so far; a second Ctrl-C\n"
    "quits at once.\n"
    "Exit status: 0 success, 1 the work failed (a lost stream included), 2 the command line is\n"
    "wrong, 128 + the signal's number when stopped by a signal.\n";

int Run(const std::string& command, const std::vector<std::string>& args) {
    if (command == "probe") return Ruvar::Probe(args);
    if (command == "decode") return Ruvar::Decode(args);
    if (command == "packets") return Ruvar::Packets(args);
    if (command == "mp4") return Ruvar::Mp4(args);
    if (command == "hls") return Ruvar::Hls(args);
    if (command == "convert") return Ruvar::Convert(args);
    if (command == "demo") return Ruvar::Demo(args);
    std::string names;
    for (const auto& name : kCommands) names += (names.empty() ? "" : ", ") + name;
    throw Ruvar::UsageError("unknown command '" + command + "' (commands: " + names + ")");
}

// What the tool ends with: a stop by a signal shows in the exit status whatever else happened.
int Ended(int code) { return Ruvar::StopSignal::Requested() ? 128 + Ruvar::StopSignal::Signal() : code; }

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    // The command is the first argument that names one; the options before it count as if they
    // followed it. Without one, the first argument that is not an option was meant as the command.
    std::string command = args[0];
    auto named = std::find_first_of(args.begin(), args.end(), kCommands.begin(), kCommands.end());
    if (named != args.end()) {
        command = *named;
        args.erase(named);
    } else {
        for (size_t i = 0; i < args.size() && command[0] == '-'; ++i) {
            if (args[i] == "-h" || args[i] == "--help" || args[i] == "--version") command = args[i];
            if (std::find(Ruvar::kCommonValued.begin(), Ruvar::kCommonValued.end(), args[i]) != Ruvar::kCommonValued.end())
                ++i;  // its value
            else if (args[i].empty() || args[i][0] != '-')
                command = args[i];
        }
        args.erase(args.begin());
    }
    const bool known = std::find(kCommands.begin(), kCommands.end(), command) != kCommands.end();
    Ruvar::StopSignal stopSignal;
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
        return Ended(Run(command, args));
    } catch (const Ruvar::UsageError& e) {
        std::fprintf(stderr, "ruvar: %s\nTry 'ruvar %s--help'.\n", e.what(), known ? (command + " ").c_str() : "");
        return 2;
    } catch (const Ruvar::RunError& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", e.what());
        return Ended(1);
    } catch (const Halvora::Common::Exception& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", Halvora::Common::StringUtility::HideRtspPassword(std::string(e.what())).c_str());
        return Ended(1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ruvar: error: %s\n", e.what());
        return Ended(1);
    }
}
