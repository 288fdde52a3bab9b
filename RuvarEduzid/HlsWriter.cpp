#include "RuvarEduzid/HlsWriter.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/AVFrameProxy.h"
#include "RuvarEduzid/EncoderUtils.h"
#include "RuvarEduzid/FFMpegGate.h"
#include "RuvarEduzid/FfmpegPtr.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace Halvora {
namespace RuvarEduzid {

namespace {

// Serialises the encoding steps of every HLS rendition in the process.
std::mutex& EncodingMutex() {
    static std::mutex mutex;
    return mutex;
}

constexpr size_t kMaxPathBytes = 1023;
constexpr int kRenameAttempts = 500;

// FFmpeg's description of a code cut to `bufferSize` bytes, "UNKNOWN" where it has none.
std::string ErrorText(int code, size_t bufferSize) { return AvErrorText(code, bufferSize, "UNKNOWN"); }

std::string FileNamePart(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

void CreatePlaceholder(const std::string& name) {
    AVIOContext* file = nullptr;
    if (avio_open(&file, name.c_str(), AVIO_FLAG_WRITE) < 0) HALVORA_THROW("Failed to open file " << name);
    avio_close(file);
}

// avio_printf of one playlist entry: the duration from single precision, the name without its
// directory.
void WriteEntry(AVIOContext* list, double seconds, const std::string& name) {
    avio_printf(list, "#EXTINF:%f,\n%s\n", static_cast<double>(static_cast<float>(seconds)), FileNamePart(name).c_str());
    avio_flush(list);
}

// The advance playlist's lines, with an empty placeholder file for each listed segment (the names
// made go to `placeholders`). Returns the number of segment indices to report at the end.
int64_t WriteAdvanceEntries(AVIOContext* list, const std::string& segmentPattern, double duration, int chunk,
                            int gopSize, std::vector<std::string>& placeholders) {
    avio_printf(list, "#EXTM3U\n");
    avio_printf(list, "#EXT-X-VERSION:3\n");
    avio_printf(list, "#EXT-X-MEDIA-SEQUENCE:0\n");
    avio_printf(list, "#EXT-X-ALLOW-CACHE:YES\n");
    avio_printf(list, "#EXT-X-TARGETDURATION:%d\n", chunk);

    const int64_t full = static_cast<int64_t>(duration / chunk);
    const double rest = std::fmod(duration, static_cast<double>(chunk));
    int64_t expected = full + 1;
    HLOG_INFO << "GOP:" << gopSize << " lastFileDuration " << rest << " files " << (full + 1)
              << " realChunckDuration " << chunk;

    for (int64_t i = 0; i < full; ++i) {
        std::string name = HlsWriterInternals::FormatSegmentName(segmentPattern, static_cast<uint64_t>(i));
        CreatePlaceholder(name);
        placeholders.push_back(name);
        WriteEntry(list, chunk, name);
    }
    if (rest > 0.1) {
        std::string name = HlsWriterInternals::FormatSegmentName(segmentPattern, static_cast<uint64_t>(full));
        if (rest > 0.5) {
            CreatePlaceholder(name);
            placeholders.push_back(name);
            ++expected;
        }
        WriteEntry(list, rest, name);
    }
    avio_printf(list, "#EXT-X-ENDLIST\n");
    return expected;
}

}  // namespace

// ---- internals ------------------------------------------------------------------

namespace HlsWriterInternals {

EncoderTiming ComputeTiming(double frameRate, int64_t frameInterval, int segmentDuration, int gopsPerSegment) {
    EncoderTiming t;
    if (frameRate == 0.0) {
        if (frameInterval <= 0)
            HALVORA_THROW("Cannot derive the frame rate from a frame interval of " << frameInterval);
        double rate = std::floor(10000000.0 / static_cast<double>(frameInterval) + 0.5);
        if (rate < 1.0)
            HALVORA_THROW("Cannot derive the frame rate from a frame interval of " << frameInterval);
        t.frameRate = rate;
        t.timeBaseNum = 1;
        t.timeBaseDen = static_cast<int>(rate);
    } else {
        double hundredths = std::trunc(frameRate * 100.0);
        if (!(frameRate > 0.0) || !(hundredths >= 1.0) || hundredths > static_cast<double>(INT_MAX))
            HALVORA_THROW("Invalid frame rate " << frameRate);
        t.frameRate = frameRate;
        t.timeBaseNum = 100;
        t.timeBaseDen = static_cast<int>(hundredths);
    }
    if (segmentDuration <= 0 || gopsPerSegment <= 0)
        HALVORA_THROW("Invalid segment duration " << segmentDuration << " or GOPs per segment " << gopsPerSegment);
    double gop = std::trunc(static_cast<double>(segmentDuration) * t.frameRate / gopsPerSegment);
    if (gop < 1.0 || gop > static_cast<double>(INT_MAX))
        HALVORA_THROW("Invalid GOP size " << gop << " from segment duration " << segmentDuration << ", frame rate "
                                          << t.frameRate << " and " << gopsPerSegment << " GOPs per segment");
    t.gopSize = static_cast<int>(gop);
    double chunk = std::round(static_cast<double>(gopsPerSegment) * t.gopSize / t.frameRate);
    if (chunk < 1.0 || chunk > static_cast<double>(INT_MAX))
        HALVORA_THROW("Invalid segment length " << chunk << " s from GOP size " << t.gopSize << " and frame rate "
                                                << t.frameRate);
    t.chunk = static_cast<int>(chunk);
    return t;
}

int64_t WriteAdvancePlaylist(const std::string& playlistPath, const std::string& segmentPattern, double duration,
                             int chunk, int gopSize) {
    AVIOContext* list = nullptr;
    if (avio_open(&list, playlistPath.c_str(), AVIO_FLAG_WRITE) < 0)
        HALVORA_THROW("Failed to open file " << playlistPath);
    std::vector<std::string> placeholders;
    try {
        const int64_t expected = WriteAdvanceEntries(list, segmentPattern, duration, chunk, gopSize, placeholders);
        avio_flush(list);
        const int error = list->error;
        const int closed = avio_closep(&list);
        if (error < 0 || closed < 0)
            HALVORA_THROW("Failed to write file " << playlistPath << ": " << ErrorText(error < 0 ? error : closed, 64));
        return expected;
    } catch (...) {
        if (list) avio_closep(&list);
        // A playlist that is not whole is not left behind, nor the placeholders made for it.
        std::error_code ec;
        std::filesystem::remove(playlistPath, ec);
        for (const auto& name : placeholders) std::filesystem::remove(name, ec);
        throw;
    }
}

PlaylistCut EndPlaylistBefore(const std::string& playlistPath, const std::string& segmentFileName) {
    std::string text;
    {
        std::ifstream in(playlistPath, std::ios::binary);
        if (!in) return PlaylistCut::Failed;
        std::ostringstream content;
        content << in.rdbuf();
        if (in.bad()) return PlaylistCut::Failed;
        text = content.str();
    }
    const size_t named = text.find("\n" + segmentFileName + "\n");
    if (named == std::string::npos) return PlaylistCut::NotNamed;
    const size_t entry = text.rfind("#EXTINF:", named);
    if (entry == std::string::npos) return PlaylistCut::Failed;

    static const char kEnd[] = "#EXT-X-ENDLIST\n";
    const size_t endLength = sizeof kEnd - 1;
    const int fd = ::open(playlistPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return PlaylistCut::Failed;
    // The end line overwrites the start of the entry, within the bytes the file already holds;
    // then the rest is cut off. Where even that cannot be written, the list ends before the entry
    // without the end line, which still names only the segments before it.
    bool ended = ::pwrite(fd, kEnd, endLength, static_cast<off_t>(entry)) == static_cast<ssize_t>(endLength);
    ended = ended && ::ftruncate(fd, static_cast<off_t>(entry + endLength)) == 0;
    const bool cut = ended || ::ftruncate(fd, static_cast<off_t>(entry)) == 0;
    const bool closed = ::close(fd) == 0;
    return cut && closed ? PlaylistCut::Cut : PlaylistCut::Failed;
}

int EstimateBitrate(double frameRate, int packetsWritten, int64_t bytesCounted, int gopSize, int gopsPerSegment,
                    bool encoderReady) {
    if (frameRate == 0.0 || packetsWritten == 0 || bytesCounted == 0) return 0;
    const int64_t segmentFrames = static_cast<int64_t>(gopSize) * gopsPerSegment;
    if (encoderReady && packetsWritten < segmentFrames) return 0;
    const int64_t n = std::min<int64_t>(segmentFrames, packetsWritten);
    if (n <= 0) return 0;
    const double bitrate = static_cast<double>(bytesCounted) * 10.5 / (static_cast<double>(n) / frameRate);
    if (!(bitrate >= 0.0)) return 0;
    if (bitrate >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(bitrate);
}

std::string MakeSegmentPattern(const std::string& playlistPath) {
    std::string directory = std::filesystem::path(playlistPath).parent_path().string();
    // A bare file name has its segments next to it, in the working directory.
    if (directory.empty()) directory = ".";
    std::string escaped;
    for (char c : directory) {
        if (c == '%') escaped += '%';
        escaped += c;
    }
    return escaped + "/out%03d.ts";
}

std::string FormatSegmentName(const std::string& pattern, uint64_t index) {
    if (pattern.empty() || index > static_cast<uint64_t>(INT_MAX)) return std::string();
    char buffer[1024];
    if (av_get_frame_filename2(buffer, sizeof buffer, pattern.c_str(), static_cast<int>(index), 0) < 0)
        return std::string();
    return buffer;
}

}  // namespace HlsWriterInternals

// ---- HlsWriter ------------------------------------------------------------------

HlsWriter::HlsWriter(const std::wstring& filePath, double duration, const H264StreamConfig& config, double frameRate,
                     GetTsFilePathCb callback)
    : m_filePath(filePath), m_duration(duration), m_config(config), m_tsFilePathCb(callback), m_frameRate(frameRate) {
    HLOG_INFO << "CreateHlsVideoExporter, width: " << config.width << " height: " << config.height
              << " filePath: " << filePath << " video duration: " << duration
              << " sec, Live generation: " << (config.liveGeneration ? 1 : 0) << ", FPS=" << frameRate;
    if (filePath.empty()) HALVORA_THROW("Invalid file path.");
    if (duration < 0.0) HALVORA_THROW("Invalid duration.");
    FFMpegGate::EnsureInitialization(FFMpegGate::Error);
}

HlsWriter::~HlsWriter() {
    try {
        FlushVideoFile();
    } catch (const std::exception& e) {
        HLOG_ERROR << "Finishing the HLS rendition " << m_filePath << " failed: " << e.what();
    } catch (...) {
        HLOG_ERROR << "Finishing the HLS rendition " << m_filePath << " failed";
    }
    try {
        SendFinalNotifications();
    } catch (...) {
        HLOG_ERROR << "Final segment notifications of " << m_filePath << " failed";
    }
    ReleaseFFmpegObjects();
}

void HlsWriter::WriteFrame(std::shared_ptr<Video::Native::IDecodedFrame> frame) {
    if (!frame) {
        HLOG_ERROR << "Null frame given, skip frame";
        return;
    }
    const int64_t time = frame->GetFileTimeUtc();
    if (m_heldFrame) {
        if (!m_outputCreated) {
            m_frameInterval = time - m_firstTime;
            IntializeEncoder();
        }
        EncodePreviousFrame();
        m_heldFrame = std::move(frame);
        m_lastTime = time;
    } else {
        m_heldFrame = std::move(frame);
        m_firstTime = m_lastTime = time;
    }
}

void HlsWriter::WriteFrame(const Orvi::Yuv420PImage& image, const Common::DateTime& dateTime) {
    const int64_t time = dateTime.GetFileTime();
    if (m_heldImage.yMat.data && m_heldImage.yMat.total() != 0) {
        if (!m_outputCreated) {
            m_frameInterval = time - m_firstTime;
            IntializeEncoder();
        }
        EncodePreviousFrame();
        m_heldImage = image;
        m_lastTime = time;
    } else {
        m_heldImage = image;
        m_firstTime = m_lastTime = time;
    }
}

bool HlsWriter::IsMasterFileFlushed() const {
    return m_framesEncoded > 1;
}

int HlsWriter::GetEstimatedBitrate() const {
    return HlsWriterInternals::EstimateBitrate(m_frameRate, m_packetsWritten, m_bytesCounted, m_gopSize,
                                               m_config.gopsPerSegment, m_encoderReady);
}

void HlsWriter::IntializeEncoder() {
    HLOG_INFO << "Hls encoder init start for " << m_filePath;
    if (m_filePath.size() < 4 || m_filePath.find(L"m3u8") == std::wstring::npos)
        HALVORA_THROW("filePath: " << m_filePath << " not valid for HLS");
    const std::string path = Common::StringUtility::WstringToString(m_filePath);
    if (path.size() > kMaxPathBytes)
        HALVORA_THROW("filePath: " << m_filePath << " is longer than " << kMaxPathBytes << " bytes");
    m_segmentPattern = HlsWriterInternals::MakeSegmentPattern(path);
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty()) directory = ".";
    const std::string segmenterList = directory + "/ffmpegGenerated.m3u8";

    AVFormatContext* output = nullptr;
    int rc = avformat_alloc_output_context2(&output, nullptr, "ssegment", m_segmentPattern.c_str());
    if (!output) HALVORA_THROW("Failed to allocate context for HlS, error " << rc);
    m_pOutput.reset(output);
    m_outputCreated = true;
    // The segmenter opens and closes its segment files and its list through the context (and
    // hands the hooks and `opaque` on to the contexts it nests).
    m_pDefaultOpen = output->io_open;
    m_pDefaultClose = output->io_close2;
    output->opaque = this;
    output->io_open = &HlsWriter::OpenOutputFile;
    output->io_close2 = &HlsWriter::CloseOutputFile;
    m_segmentListTemp = (m_config.liveGeneration ? path : segmenterList) + ".tmp";

    const AVCodec* codec = EncoderUtils::FindH264Encoder();
    if (!codec) HALVORA_THROW("Could not find encoder");

    m_pStream = avformat_new_stream(output, codec);
    if (!m_pStream) HALVORA_THROW("Could not allocate stream");
    m_pStream->id = static_cast<int>(output->nb_streams) - 1;

    m_pEncoder.reset(avcodec_alloc_context3(codec));
    if (!m_pEncoder) HALVORA_THROW("Could not alloc an encoding context");
    AVCodecContext* encoder = m_pEncoder.get();
    encoder->codec_id = AV_CODEC_ID_H264;
    encoder->width = std::min(m_config.width, 3840);
    encoder->height = std::min(m_config.height, 2160);

    const auto timing = HlsWriterInternals::ComputeTiming(m_frameRate, m_frameInterval, m_config.segmentDuration,
                                                          m_config.gopsPerSegment);
    m_frameRate = timing.frameRate;
    encoder->time_base = AVRational{timing.timeBaseNum, timing.timeBaseDen};
    m_pStream->time_base = encoder->time_base;

    m_gopSize = timing.gopSize;
    encoder->gop_size = m_gopSize;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    AVDictionaryGuard options;
    if (m_config.profile != H264ProfileNotSet) options.Set("profile", FFMpegGate::ToFFmpegString(m_config.profile));
    if (m_config.level != H264LevelNotSet) options.Set("level", FFMpegGate::ToFFmpegString(m_config.level));
    options.Set("crf", std::to_string(m_config.crf).c_str());
    if (m_config.maxRate > 0) {
        options.Set("maxrate", std::to_string(m_config.maxRate).c_str());
        options.Set("bufsize", std::to_string(2LL * m_config.maxRate).c_str());
    }
    options.Set("preset", "ultrafast");
    const unsigned int concurrency = std::thread::hardware_concurrency();
    HLOG_INFO << "Available CPU concurrency " << concurrency;
    options.Set("threads", std::to_string(2ULL * concurrency).c_str());

    if (avcodec_open2(encoder, codec, &options) < 0) HALVORA_THROW("Could not open video codec" << codec->id);
    if (avcodec_parameters_from_context(m_pStream->codecpar, encoder) < 0)
        HALVORA_THROW("Could not copy the stream parameters");

    if (!m_config.liveGeneration)
        m_expectedSegmentCount =
            HlsWriterInternals::WriteAdvancePlaylist(path, m_segmentPattern, m_duration, timing.chunk, m_gopSize);

    AVDictionaryGuard segmenterOptions;
    segmenterOptions.Set("segment_list", m_config.liveGeneration ? path.c_str() : segmenterList.c_str());
    segmenterOptions.Set("segment_list_flags", "cache");
    segmenterOptions.Set("segment_list_type", "hls");
    segmenterOptions.Set("segment_time", std::to_string(timing.chunk).c_str());
    rc = avformat_write_header(output, &segmenterOptions);
    if (rc < 0) HALVORA_THROW("Failed to write the header, error " << ErrorText(rc, 64));

    HLOG_INFO << "Hls encoder init done for " << m_filePath;
    m_encoderReady = true;
}

void HlsWriter::EncodePreviousFrame() {
    std::lock_guard<std::mutex> lock(EncodingMutex());
    if (!m_encoderReady) {
        HLOG_ERROR << "Decoder terminated/not initialized, skip frame encoding!!!";
        return;
    }
    std::unique_ptr<AVFrameProxy> proxy;
    try {
        if (m_heldFrame)
            proxy = std::make_unique<AVFrameProxy>(m_heldFrame.get(), m_pEncoder.get(), &m_pScalerCache);
        else if (m_heldImage.yMat.data && m_heldImage.yMat.total() != 0)
            proxy = std::make_unique<AVFrameProxy>(m_heldImage, m_pEncoder.get(), &m_pScalerCache);
        else {
            HLOG_ERROR << "No previous frame saved, skip frame encoding!!!";
            return;
        }
    } catch (const Common::Exception& e) {
        // A frame the encoder cannot take is dropped; the rendition goes on with the next one.
        HLOG_ERROR << "Frame cannot be encoded, skip frame encoding: " << e.Message();
        return;
    }
    AVFrame* frame = proxy->Get();
    frame->pts = m_framesEncoded;
    if (avcodec_send_frame(m_pEncoder.get(), frame) < 0) {
        HLOG_ERROR << "failed to encode frame";
    }

    AVPacketPtr packet(av_packet_alloc());
    if (!packet) {
        HLOG_ERROR << "Failed to write frame";
    } else {
        int rc = avcodec_receive_packet(m_pEncoder.get(), packet.get());
        if (rc == 0) {
            WritePacketToVideoFile(*packet);
        } else if (rc != AVERROR(EAGAIN)) {
            HLOG_ERROR << "Failed to write frame";
        }
        av_packet_unref(packet.get());
    }
    ++m_framesEncoded;
}

void HlsWriter::WritePacketToVideoFile(AVPacket& packet) {
    if (m_packetsWritten < 2 * m_gopSize) m_bytesCounted += packet.size;
    ++m_packetsWritten;

    av_packet_rescale_ts(&packet, m_pEncoder->time_base, m_pStream->time_base);
    packet.stream_index = m_pStream->index;
    const int rc = av_interleaved_write_frame(m_pOutput.get(), &packet);
    if (rc < 0) {
        HLOG_WARNING << "WritePacketToVideoFile. Failed to write frame: " << ErrorText(rc, 512);
        return;
    }
    if (!m_tsFilePathCb.callback) return;

    // A segment that lost data is never reported; the one after it is awaited instead.
    while (m_lostSegments.count(SegmentName(m_nextSegmentToReport))) ++m_nextSegmentToReport;
    // Segment k is complete once the segmenter has put bytes into segment k + 1.
    const uint64_t k = m_nextSegmentToReport;
    if (m_reportedSegments.count(k)) return;
    const std::string next = SegmentName(k + 1);
    if (next.empty() || IsFileEmpty(next.c_str())) return;
    InvokeTsCallBack(k);
    ++m_nextSegmentToReport;
}

void HlsWriter::InvokeTsCallBack(uint64_t index) {
    if (!m_tsFilePathCb.callback) return;
    const std::string name = SegmentName(index);
    if (name.empty() || !IsFileExist(name.c_str())) return;
    // Only what the segmenter wrote out completely is a finished segment: not a file that lost
    // bytes (a full disk), nor a placeholder that it never filled.
    if (!m_completeSegments.count(name)) return;
    m_tsFilePathCb.callback(name.c_str());
    m_reportedSegments.insert(index);
    // Reported segments count as complete through the reported set from now on.
    m_completeSegments.erase(name);
}

void HlsWriter::FlushVideoFile() {
    if (!m_encoderReady) return;
    HLOG_INFO << "Flush the end of the video to the file";
    EncodePreviousFrame();

    AVCodecContext* encoder = m_pEncoder.get();
    AVPacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(encoder, nullptr) == 0) {
        while (packet && avcodec_receive_packet(encoder, packet.get()) == 0) {
            WritePacketToVideoFile(*packet);
            av_packet_unref(packet.get());
        }
    } else {
        HLOG_ERROR << "failed to encode nullptr frame";
    }
    if (packet) av_packet_unref(packet.get());
    const int trailer = av_write_trailer(m_pOutput.get());
    if (trailer < 0) {
        HLOG_ERROR << "Finishing the segments of " << m_filePath << " failed: " << ErrorText(trailer, 512);
    }
    // From here on the FFmpeg objects are gone: the writer is not ready whatever follows.
    m_encoderReady = false;
    ReleaseFFmpegObjects();
    if (!m_config.liveGeneration) EndAdvancePlaylistAtFirstMissingSegment();

    if (m_config.liveGeneration) {
        const std::filesystem::path target(Common::StringUtility::WstringToString(m_filePath));
        const std::filesystem::path temp(target.string() + ".tmp");
        std::error_code ec;
        const auto status = std::filesystem::status(temp, ec);
        if (status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::none) {
            std::ostringstream quoted;
            quoted << std::quoted(temp.string(), '"', '&');
            HLOG_INFO << "Hls temp file detected, manually renaming: " << quoted.str() << "to: " << m_filePath;
            bool renamed = false;
            for (int attempt = 0; attempt < kRenameAttempts && !renamed; ++attempt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::error_code renameError;
                std::filesystem::rename(temp, target, renameError);
                HLOG_INFO << "Reanme error code returns: " << renameError.message();
                renamed = !renameError;
            }
            if (!renamed) HALVORA_THROW("Cannot rename hls temp file, live playing cannot be stopped!!!");
        }
    }

    const double written = m_packetsWritten / m_frameRate;
    // A declared length of 0 is off by any written length (the relative difference is unbounded).
    const bool off = m_duration > 0.0 ? std::fabs(written - m_duration) / m_duration > 0.1 : written != 0.0;
    if (off) {
        HLOG_WARNING << "Written Video Duration : " << written << ", excpected: " << m_duration;
    }
}

void HlsWriter::SendFinalNotifications() {
    if (!m_tsFilePathCb.callback || m_segmentPattern.empty()) return;
    const uint64_t start = m_reportedSegments.empty() ? 0 : *m_reportedSegments.rbegin() + 1;
    if (m_config.liveGeneration) {
        // The segmenter decides how many segments a live rendition has: every one that was made
        // and not yet reported is complete now.
        for (uint64_t index = start;; ++index) {
            const std::string name = SegmentName(index);
            if (name.empty() || !IsFileExist(name.c_str())) break;
            InvokeTsCallBack(index);
        }
        return;
    }
    for (uint64_t index = start; index <= static_cast<uint64_t>(m_expectedSegmentCount); ++index)
        InvokeTsCallBack(index);
}

void HlsWriter::ReleaseFFmpegObjects() {
    m_pEncoder.reset();
    m_pOutput.reset();
    m_openFiles.clear();
    m_pStream = nullptr;
    m_pScalerCache.reset();
}

int HlsWriter::OpenOutputFile(AVFormatContext* context, AVIOContext** file, const char* url, int flags,
                              AVDictionary** options) {
    auto* self = static_cast<HlsWriter*>(context->opaque);
    const int rc = self->m_pDefaultOpen(context, file, url, flags, options);
    const std::string name = url ? url : "";
    if (name == self->m_segmentListTemp) {
        if (rc >= 0 && *file) self->m_openFiles[*file] = name;
        return rc;
    }
    // A segment file written again has yet to be completed.
    self->m_completeSegments.erase(name);
    self->m_lostSegments.erase(name);
    if (rc >= 0 && *file) {
        self->m_openFiles[*file] = name;
    } else {
        self->m_lostSegments.insert(name);
        HLOG_ERROR << "Cannot open the HLS segment " << name << ": " << ErrorText(rc, 512);
    }
    return rc;
}

int HlsWriter::CloseOutputFile(AVFormatContext* context, AVIOContext* file) {
    auto* self = static_cast<HlsWriter*>(context->opaque);
    std::string name;
    const auto open = self->m_openFiles.find(file);
    if (open != self->m_openFiles.end()) {
        name = open->second;
        self->m_openFiles.erase(open);
    }
    // What is still buffered goes out now, so that the file's error state is complete.
    int error = 0;
    if (file && file->write_flag) {
        avio_flush(file);
        error = file->error;
    }
    const int rc = self->m_pDefaultClose(context, file);
    if (error >= 0 && rc < 0) error = rc;
    if (name.empty()) return rc;
    if (name == self->m_segmentListTemp)
        self->SegmentListClosed(name, error);
    else
        self->SegmentFileClosed(name, error);
    return rc;
}

void HlsWriter::SegmentFileClosed(const std::string& url, int error) {
    if (error >= 0) {
        m_completeSegments.insert(url);
        return;
    }
    m_lostSegments.insert(url);
    HLOG_ERROR << "HLS segment " << url << " is incomplete: " << ErrorText(error, 512);
}

// The segmenter renames its list over the previous one right after closing it. A list that was
// not written completely, or that names a segment which lost data (the one just ended is still
// open here), is removed first, so the previous list stays in place.
void HlsWriter::SegmentListClosed(const std::string& url, int error) {
    bool lost = !m_lostSegments.empty();
    for (const auto& open : m_openFiles)
        if (open.first->error < 0) lost = true;
    if (error >= 0 && !lost) return;
    if (error < 0) {
        HLOG_ERROR << "Cannot write the segment list " << url << ": " << ErrorText(error, 512);
    } else {
        HLOG_ERROR << "Segment list " << url << " is dropped: it names a segment that could not be written";
    }
    std::error_code ec;
    std::filesystem::remove(url, ec);
    if (ec) {
        HLOG_ERROR << "Cannot remove the segment list " << url << ": " << ec.message();
    }
}

// The advance playlist names every planned segment. It ends before the first one that is not
// whole: one that could not be written, or one never begun because the frames ended before the
// planned length (a stream that stopped, an interrupted host). Placeholders that were never filled
// are then named nowhere and go.
void HlsWriter::EndAdvancePlaylistAtFirstMissingSegment() {
    uint64_t first = 0;
    while (m_reportedSegments.count(first) || m_completeSegments.count(SegmentName(first))) ++first;
    const std::string name = SegmentName(first);
    const std::string playlist = Common::StringUtility::WstringToString(m_filePath);
    switch (HlsWriterInternals::EndPlaylistBefore(playlist, FileNamePart(name))) {
    case HlsWriterInternals::PlaylistCut::Cut:
        if (!m_lostSegments.empty()) {
            HLOG_ERROR << "Playlist " << m_filePath << " now ends before " << FileNamePart(name)
                       << ", the first segment that could not be written completely";
        } else {
            HLOG_INFO << "Playlist " << m_filePath << " now ends before " << FileNamePart(name)
                      << ": the frames ended before the planned length";
        }
        break;
    case HlsWriterInternals::PlaylistCut::NotNamed:
        return;
    case HlsWriterInternals::PlaylistCut::Failed:
        HLOG_ERROR << "Cannot end the playlist " << m_filePath << " before the incomplete segment "
                   << FileNamePart(name);
        return;
    }
    for (uint64_t index = first; index <= static_cast<uint64_t>(m_expectedSegmentCount); ++index) {
        const std::string placeholder = SegmentName(index);
        std::error_code ec;
        if (!m_lostSegments.count(placeholder) && std::filesystem::is_regular_file(placeholder, ec) &&
            std::filesystem::file_size(placeholder, ec) == 0 && !ec)
            std::filesystem::remove(placeholder, ec);
    }
}

std::string HlsWriter::SegmentName(uint64_t index) const {
    return HlsWriterInternals::FormatSegmentName(m_segmentPattern, index);
}

bool HlsWriter::IsFileEmpty(const char* path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return true;
    const auto size = file.tellg();
    return size <= 0;
}

bool HlsWriter::IsFileExist(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return static_cast<bool>(file);
}

}  // namespace RuvarEduzid
}  // namespace Halvora
