#include "tools/ruvar/DecoderSetup.h"
#include "tools/ruvar/Commands.h"

#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/WebStreamDecoderFactory.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <fstream>
#include <iterator>

using Halvora::Common::StringUtility;
namespace Native = Halvora::Video::Native;

namespace Ruvar {

namespace {

int DecoderKind(const std::string& name) {
    if (name == "software") return static_cast<int>(Native::DecoderTypes::Software);
    if (name == "cuda") return static_cast<int>(Native::DecoderTypes::Cuda);
    if (name == "cuvid") return static_cast<int>(Native::DecoderTypes::Cuvid);
    if (name == "cuvid-then-software") return static_cast<int>(Native::DecoderTypes::CuvidThenSoftware);
    throw UsageError("--decoder: '" + name + "' is not one of software, cuda, cuvid, cuvid-then-software");
}

std::vector<std::shared_ptr<Native::DecoderParameter>> Parameters(const Args& args) {
    std::vector<std::shared_ptr<Native::DecoderParameter>> params;
    if (args.Has("--threads"))
        params.push_back(std::make_shared<Native::DecoderThreadsParameter>(
            static_cast<int>(args.Integer("--threads", 1, 0, 64))));
    if (args.Has("--utc-offset"))
        params.push_back(std::make_shared<Native::UtcOffsetParameter>(
            static_cast<float>(args.Number("--utc-offset", 0, -24, 24))));
    if (args.Has("--gpu") || args.Has("--decoder")) {
        int kind = DecoderKind(args.Value("--decoder").value_or(args.Has("--gpu") ? "cuvid-then-software" : "software"));
        int gpu = static_cast<int>(args.Integer("--gpu", 0, 0, 63));
        if (kind != 0) {
            // GPU decoding hands out device frames first; they are brought to memory for printing.
            params.push_back(std::make_shared<Native::ImageFormatsParameter>(
                std::vector<Native::DecodedImageFormat>{Native::Cuda}));
        }
        params.push_back(std::make_shared<Native::CuvidDecoderParameter>(kind, gpu));
    }
    return params;
}

// A video-management-system stream: the family's decoder opened from the address, a GPU id and
// the JSON options, as a host opens it.
OpenedDecoder OpenWebStream(const std::string& source, const std::string& family, const Args& args) {
    for (const char* option : {"--live-chunks", "--start-time", "--utc-offset", "--decoder", "--threads"})
        if (args.Has(option)) throw UsageError(std::string(option) + " does not apply to --vms streams");
    std::string name;
    std::string names;
    for (const auto& candidate : Halvora::RuvarEduzid::WebStreamDecoderFactory::List()) {
        names += (names.empty() ? "" : ", ") + StringUtility::ToLower(candidate);
        if (StringUtility::ToLower(candidate) == StringUtility::ToLower(family)) name = candidate;
    }
    if (name.empty()) throw UsageError("--vms: '" + family + "' is not one of " + names);
    CheckLocalSource(source);
    std::unique_ptr<Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder> decoder(
        Halvora::RuvarEduzid::WebStreamDecoderFactory::GetDecoder(name));
    std::wstring json = StringUtility::StringToWstring(args.Value("--options").value_or("{}"));
    int gpu = static_cast<int>(args.Integer("--gpu", -1, -1, 63));
    if (!decoder->Initialize(StringUtility::StringToWstring(source), gpu, json))
        throw RunError(WithCause("cannot open '" + StringUtility::HideRtspPassword(source) + "' as a " + name + " stream"));
    OpenedDecoder opened;
    opened.decoder = std::shared_ptr<Halvora::RuvarEduzid::FFMpegDecoder>(std::move(decoder));
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

OpenedDecoder OpenDecoder(const std::string& source, const Args& args) {
    if (args.Has("--options") && !args.Has("--vms")) throw UsageError("--options needs --vms");
    if (auto vms = args.Value("--vms")) return OpenWebStream(source, *vms, args);
    CheckLocalSource(source);
    auto params = Parameters(args);
    OpenedDecoder opened;
    opened.decoder = std::make_shared<Halvora::RuvarEduzid::FFMpegDecoder>();

    if (args.Has("--live-chunks")) {
        if (IsNetworkAddress(source)) throw UsageError("--live-chunks needs a local file");
        if (args.Has("--start-time")) throw UsageError("--start-time does not apply to --live-chunks (frames carry the arrival time)");
        opened.liveChunk = static_cast<size_t>(args.Integer("--live-chunks", 0, 1, 1LL << 30));
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

    Native::VideoFileInfo info(StringUtility::StringToWstring(source));
    info.decoderId = Halvora::RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    if (auto t = args.Value("--start-time")) info.startTime = Halvora::Common::DateTime(ParseIsoTime("--start-time", *t));
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
