#include "tools/ruvar/DecoderSetup.h"
#include "tools/ruvar/Commands.h"
#include "tools/ruvar/StopSignal.h"

#include "Common/DateTime.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/WebStreamDecoderFactory.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

using Halvora::Common::StringUtility;
namespace Native = Halvora::Video::Native;

namespace Ruvar {

const std::vector<std::string> kInputValued = {"--live-chunks", "--timeout", "--transport"};
const std::vector<std::string> kDecodeValued = {"--live-chunks", "--timeout", "--transport", "--gpu", "--decoder"};

namespace {

int DecoderKind(const std::string& name) {
    if (name == "software") return static_cast<int>(Native::DecoderTypes::Software);
    if (name == "cuda") return static_cast<int>(Native::DecoderTypes::Cuda);
    if (name == "cuvid") return static_cast<int>(Native::DecoderTypes::Cuvid);
    if (name == "cuvid-then-software") return static_cast<int>(Native::DecoderTypes::CuvidThenSoftware);
    throw UsageError("--decoder: '" + name + "' is not one of software, cuda, cuvid, cuvid-then-software");
}

// The transport codes of the settings file's "RtspTransport".
int TransportCode(const std::string& name) {
    if (name == "tcp") return 0;
    if (name == "prefer-tcp") return 1;
    if (name == "udp") return 2;
    if (name == "multicast") return 3;
    throw UsageError("--transport: '" + name + "' is not one of tcp, udp, prefer-tcp, multicast");
}

bool IsRtsp(const std::string& source) { return source.find("rtsp://") != std::string::npos; }

std::vector<std::shared_ptr<Native::DecoderParameter>> Parameters(const std::string& source, const Args& args) {
    std::vector<std::shared_ptr<Native::DecoderParameter>> params;
    if (args.Has("--threads"))
        params.push_back(std::make_shared<Native::DecoderThreadsParameter>(
            static_cast<int>(args.Integer("--threads", 1, 0, 64))));
    if (auto offset = args.Value("--utc-offset")) {
        // The decoder moves only frames it dates by the stream clock, and only forward.
        if (args.Has("--start-time")) throw UsageError("--utc-offset does not apply with --start-time");
        if (args.Has("--live-chunks")) throw UsageError("--utc-offset does not apply to --live-chunks");
        double hours = ParseNumber("--utc-offset", *offset, -24, 24);
        if (hours <= 0) throw UsageError("--utc-offset: " + *offset + " is not above 0 (only later times can be given)");
        params.push_back(std::make_shared<Native::UtcOffsetParameter>(static_cast<float>(hours)));
    }
    if (args.Has("--gpu") || args.Has("--decoder")) {
        int kind = DecoderKind(args.Value("--decoder").value_or(args.Has("--gpu") ? "cuvid-then-software" : "software"));
        if (kind == 0 && args.Has("--gpu")) throw UsageError("--gpu does not apply to --decoder software");
        int gpu = static_cast<int>(args.Integer("--gpu", 0, 0, 63));
        if (kind != 0) {
            // GPU decoding hands out device frames first; they are brought to memory for printing.
            params.push_back(std::make_shared<Native::ImageFormatsParameter>(
                std::vector<Native::DecodedImageFormat>{Native::Cuda}));
        }
        params.push_back(std::make_shared<Native::CuvidDecoderParameter>(kind, gpu));
    }
    if (auto timeout = args.Value("--timeout")) {
        if (!IsNetworkAddress(source)) throw UsageError("--timeout applies to network sources only");
        int ms = static_cast<int>(std::lround(ParseNumber("--timeout", *timeout, 0.001, 2000000) * 1000));
        params.push_back(std::make_shared<Native::RtspConnectionTimeoutParameter>(ms));
        params.push_back(std::make_shared<Native::RtspGetFrameTimeoutParameter>(ms));
    }
    if (auto transport = args.Value("--transport")) {
        int code = TransportCode(*transport);
        if (!IsRtsp(source)) throw UsageError("--transport applies to rtsp:// sources only");
        params.push_back(std::make_shared<Native::RtspTransportParameter>(code));
    }
    return params;
}

// The JSON options of a web stream, checked as the library reads them: an object with only the
// members it uses, so that nothing given is silently dropped.
std::string WebStreamOptions(const Args& args, bool gpu) {
    const std::string text = args.Value("--options").value_or("{}");
    Json::Value root;
    std::string errors;
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &root, &errors) || !root.isObject())
        throw UsageError("--options: '" + text + "' is not a JSON object");
    for (const auto& name : root.getMemberNames()) {
        const Json::Value& value = root[name];
        if (name == "HwDecoder") {
            if (!gpu) throw UsageError("--options: HwDecoder needs --gpu");
            if (!value.isString() || (value.asString() != "Cuda" && value.asString() != "Cuvid"))
                throw UsageError("--options: HwDecoder must be \"Cuda\" or \"Cuvid\"");
        } else if (name == "RtspConnectionTimeout" || name == "RtspGetFrameTimeoutParameter") {
            if (!value.isString() && !value.isInt()) throw UsageError("--options: " + name + " must be milliseconds");
            ParseInteger("--options " + name, value.asString(), INT32_MIN, INT32_MAX);
        } else {
            throw UsageError("--options: unknown member '" + name +
                             "' (HwDecoder, RtspConnectionTimeout, RtspGetFrameTimeoutParameter)");
        }
    }
    return text;
}

// A video-management-system stream: the family's decoder opened from the address, a GPU id and
// the JSON options, as a host opens it.
OpenedDecoder OpenWebStream(const std::string& source, const std::string& family, const Args& args) {
    for (const char* option : {"--live-chunks", "--start-time", "--utc-offset", "--decoder", "--timeout", "--transport", "--threads"})
        if (args.Has(option)) throw UsageError(std::string(option) + " does not apply to --vms streams");
    std::string name;
    std::string names;
    for (const auto& candidate : Halvora::RuvarEduzid::WebStreamDecoderFactory::List()) {
        names += (names.empty() ? "" : ", ") + StringUtility::ToLower(candidate);
        if (StringUtility::ToLower(candidate) == StringUtility::ToLower(family)) name = candidate;
    }
    if (name.empty()) throw UsageError("--vms: '" + family + "' is not one of " + names);
    int gpu = static_cast<int>(args.Integer("--gpu", -1, -1, 63));
    std::wstring json = StringUtility::StringToWstring(WebStreamOptions(args, gpu != -1));
    CheckLocalSource(source);
    OpenedDecoder opened;
    opened.network = IsNetworkAddress(source);
    std::shared_ptr<Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder> web(
        Halvora::RuvarEduzid::WebStreamDecoderFactory::GetDecoder(name));
    opened.decoder = web;
    StopSignal::Watch(opened.decoder);
    if (!web->Initialize(StringUtility::StringToWstring(source), gpu, json))
        throw RunError(WithCause("cannot open '" + StringUtility::HideRtspPassword(source) + "' as a " + name + " stream"));
    return opened;
}

}  // namespace

bool OpenedDecoder::FeedMore() {
    if (liveChunk == 0 || liveEndSent) return false;
    if (liveOffset >= liveData.size()) {
        liveEndSent = true;
        return decoder->AppendChunkToBuffer(nullptr, 0);
    }
    size_t n = std::min(liveChunk, liveData.size() - liveOffset);
    bool ok = decoder->AppendChunkToBuffer(liveData.data() + liveOffset, n);
    liveOffset += n;
    if (!ok) throw RunError(WithCause("the live buffer refused a chunk"));
    return true;
}

std::shared_ptr<Native::IDecodedFrame> OpenedDecoder::Next(bool keyFrames, int& state) {
    int pauses = 0;
    for (;;) {
        if (StopSignal::Requested()) {
            state = Native::NotAvailable;
            return nullptr;
        }
        auto frame = keyFrames ? decoder->GetNextKeyFrame() : decoder->GetNextFrame();
        state = frame->GetDecoderState();
        if (state == Native::Ok) return frame;
        if (state != Native::NotAvailable) return nullptr;
        if (FeedMore()) continue;
        // A file has nothing to wait for; a live stream may pause.
        if (!network && ++pauses >= 3) return nullptr;
        if (network) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int64_t OpenedDecoder::FileTime(const Native::IDecodedFrame& frame) const {
    const int64_t time = frame.GetFileTimeUtc();
    if (liveChunk == 0) return time;
    return time * Halvora::Common::DateTime::TicksPerSecond + Halvora::Common::DateTime::UnixEpochTicks;
}

OpenedDecoder OpenDecoder(const std::string& source, const Args& args) {
    if (args.Has("--options") && !args.Has("--vms")) throw UsageError("--options needs --vms");
    if (auto vms = args.Value("--vms")) return OpenWebStream(source, *vms, args);
    auto params = Parameters(source, args);
    OpenedDecoder opened;
    opened.network = IsNetworkAddress(source);
    if (args.Has("--live-chunks")) {
        if (opened.network) throw UsageError("--live-chunks needs a local file");
        if (args.Has("--start-time")) throw UsageError("--start-time does not apply to --live-chunks (frames carry the arrival time)");
        opened.liveChunk = static_cast<size_t>(args.Integer("--live-chunks", 0, 1, 1LL << 30));
    }
    Native::VideoFileInfo info(StringUtility::StringToWstring(source));
    info.decoderId = Halvora::RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    if (auto t = args.Value("--start-time")) info.startTime = Halvora::Common::DateTime(ParseIsoTime("--start-time", *t));
    CheckLocalSource(source);
    opened.decoder = std::make_shared<Halvora::RuvarEduzid::FFMpegDecoder>();
    StopSignal::Watch(opened.decoder);

    if (opened.liveChunk != 0) {
        std::ifstream in(source, std::ios::binary);
        opened.liveData.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (opened.liveData.empty()) throw RunError("'" + source + "' is empty");
        // The first feed must hold the container's header; later chunks have the chosen size.
        size_t first = std::min(opened.liveData.size(), std::max<size_t>(opened.liveChunk, 512 * 1024));
        if (!opened.decoder->Initialize(opened.liveData.data(), first, first, true, &params))
            throw RunError(WithCause("cannot open '" + source + "' from the live buffer"));
        opened.liveOffset = first;
        return opened;
    }
    if (!opened.decoder->Initialize(info, &params))
        throw RunError(WithCause("cannot open '" + StringUtility::HideRtspPassword(source) + "'"));
    return opened;
}

std::string ContainerName(const std::string& source) {
    Halvora::RuvarEduzid::FFMpegDecoder decoder;
    Native::VideoFileInfo info(StringUtility::StringToWstring(source));
    std::vector<std::shared_ptr<Native::DecoderParameter>> none;
    if (!decoder.Initialize(info, &none) || !decoder.getFormatCtx() || !decoder.getFormatCtx()->iformat) return "unknown";
    return decoder.getFormatCtx()->iformat->name;
}

}  // namespace Ruvar
