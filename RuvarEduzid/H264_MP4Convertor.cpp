#include "RuvarEduzid/H264_MP4Convertor.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/FfmpegPtr.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdio>
#include <new>

namespace Halvora {
namespace RuvarEduzid {

namespace {

constexpr int kIoBufferSize = 40960;

std::string FFmpegErrorText(int code) { return AvErrorText(code, 1024); }

// The callbacks as FFmpeg sees them: no C++ exception may unwind through FFmpeg's C frames,
// so a failure becomes an FFmpeg error code (the failure itself is logged where it happens).
int64_t SeekOutputForFFmpeg(void* opaque, int64_t offset, int whence) noexcept {
    try {
        return AVIOSeekMemoryOutputStream(opaque, offset, whence);
    } catch (...) {
        return AVERROR(EINVAL);
    }
}

int WriteOutputForFFmpeg(void* opaque, uint8_t* buffer, int size) noexcept {
    try {
        return AVIOWriteMemoryOutputStream(opaque, buffer, size);
    } catch (const std::bad_alloc&) {
        HLOG_ERROR << "Out of memory writing " << size << " bytes of MP4 output";
        return AVERROR(ENOMEM);
    } catch (...) {
        return AVERROR(EIO);
    }
}

int ReadInputForFFmpeg(void* opaque, uint8_t* buffer, int size) noexcept {
    const int n = AVIOReadMemoryInputStream(opaque, buffer, size);
    // FFmpeg 5 expects AVERROR_EOF rather than 0 at the end of a stream.
    return n > 0 ? n : AVERROR_EOF;
}

AVIOContextPtr MakeIoContext(int writeFlag, void* opaque, int (*read)(void*, uint8_t*, int),
                                           int (*write)(void*, uint8_t*, int),
                                           int64_t (*seek)(void*, int64_t, int)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!buffer) throw std::bad_alloc();
    AVIOContext* context = avio_alloc_context(buffer, kIoBufferSize, writeFlag, opaque, read, write, seek);
    if (!context) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    return AVIOContextPtr(context);
}

}  // namespace

int64_t AVIOSeekMemoryOutputStream(void* opaque, int64_t offset, int whence) {
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        HALVORA_THROW("invalid seek origin " << whence);
    }
    auto* stream = static_cast<Halvora::IO::MemoryOutputStream*>(opaque);
    if (!stream->Seek(offset, static_cast<Halvora::IO::SeekType>(whence))) {
        HLOG_ERROR << "Seek to " << offset << " from origin " << whence << " refused by the output stream";
        return AVERROR(EINVAL);
    }
    return offset;
}

int AVIOWriteMemoryOutputStream(void* opaque, uint8_t* buffer, int size) {
    static_cast<Halvora::IO::MemoryOutputStream*>(opaque)->Write(buffer, static_cast<size_t>(std::max(size, 0)));
    return size;
}

int AVIOReadMemoryInputStream(void* opaque, uint8_t* buffer, int size) {
    auto* stream = static_cast<Halvora::IO::MemoryInputStream*>(opaque);
    const size_t left = stream->GetSize() - stream->GetPosition();
    const size_t n = std::min(left, static_cast<size_t>(std::max(size, 0)));
    return static_cast<int>(stream->Read(buffer, n));
}

void ConvertH264_MP4(std::shared_ptr<Halvora::IO::MemoryOutputStream> input,
                     std::shared_ptr<Halvora::IO::MemoryOutputStream> output, float fps, cv::Size size) {
    (void)size;
    // Packet n is timed n / fps in hundredths of a frame: below 0.01 (or not a number) there is no
    // time base, and the count of hundredths must fit the muxer's integer.
    if (!(fps >= 0.01f) || !(fps * 100 < 2147483648.0f)) {
        HALVORA_THROW("Invalid frame rate " << fps << " (0.01 to 21474836 frames per second)");
    }
    Detail::ConvertH264_MP4(input, output, fps, [](AVFormatContext* context, AVPacket* packet) {
        return av_read_frame(context, packet);
    });
}

namespace Detail {

void ConvertH264_MP4(const std::shared_ptr<Halvora::IO::MemoryOutputStream>& input,
                     const std::shared_ptr<Halvora::IO::MemoryOutputStream>& output, float fps,
                     const ReadPacketFunction& readPacket) {
    // Declared in reverse order of release: output I/O, output format, input format, input I/O,
    // the memory input stream.
    auto inputStream = std::make_shared<Halvora::IO::MemoryInputStream>(input->GetBuffer(), input->GetSize());
    AVIOContextPtr inputIo =
        MakeIoContext(0, inputStream.get(), ReadInputForFFmpeg, nullptr, nullptr);

    AVInputFormatContextPtr inputFormat;
    {
        AVFormatContext* context = avformat_alloc_context();
        if (!context) throw std::bad_alloc();
        context->pb = inputIo.get();
        // On failure FFmpeg frees the context itself (the I/O context stays ours).
        int ret = avformat_open_input(&context, nullptr, nullptr, nullptr);
        if (ret < 0) {
            HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
        }
        inputFormat.reset(context);
    }
    int ret = avformat_find_stream_info(inputFormat.get(), nullptr);
    if (ret < 0) {
        HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
    }

    AVFormatContextPtr outputFormat;
    {
        AVFormatContext* context = nullptr;
        ret = avformat_alloc_output_context2(&context, nullptr, "mp4", nullptr);
        if (ret < 0 || !context) {
            HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
        }
        outputFormat.reset(context);
    }
    AVIOContextPtr outputIo =
        MakeIoContext(1, output.get(), nullptr, WriteOutputForFFmpeg, SeekOutputForFFmpeg);
    outputFormat->pb = outputIo.get();
    // The format context must not free an I/O context it does not own.
    outputFormat->flags |= AVFMT_FLAG_CUSTOM_IO;

    const int rate = static_cast<int>(fps * 100);
    const AVRational timeBase{100, rate};
    const AVRational frameRate{rate, 100};
    for (unsigned i = 0; i < inputFormat->nb_streams; ++i) {
        AVStream* in = inputFormat->streams[i];
        AVStream* out = avformat_new_stream(outputFormat.get(), nullptr);
        if (!out) {
            HALVORA_THROW("Failed allocating output stream");
        }
        ret = avcodec_parameters_copy(out->codecpar, in->codecpar);
        if (ret < 0) {
            HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
        }
        in->time_base = timeBase;
        out->time_base = timeBase;
        out->avg_frame_rate = frameRate;
        out->r_frame_rate = frameRate;
    }

    ret = avformat_write_header(outputFormat.get(), nullptr);
    if (ret < 0) {
        HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
    }

    AVPacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    int64_t n = 0;  // packets written so far: the next packet's time in frames
    for (;;) {
        ret = readPacket(inputFormat.get(), packet.get());
        if (ret == AVERROR_EOF) break;
        if (ret < 0) {
            // Anything but a packet ends the input: a failing reader is not asked again.
            HLOG_ERROR << "Error reading packet " << n << ": " << FFmpegErrorText(ret);
            av_packet_unref(packet.get());
            break;
        }
        if (packet->stream_index < 0 || static_cast<unsigned>(packet->stream_index) >= outputFormat->nb_streams) {
            // A stream that appeared after the header was written has no output stream.
            av_packet_unref(packet.get());
            continue;
        }
        AVStream* in = inputFormat->streams[packet->stream_index];
        AVStream* out = outputFormat->streams[packet->stream_index];
        packet->pts = av_rescale_q_rnd(n, in->time_base, out->time_base,
                                       static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        packet->dts = packet->pts;
        packet->duration = av_rescale_q(1, in->time_base, out->time_base);
        packet->pos = -1;
        ret = av_interleaved_write_frame(outputFormat.get(), packet.get());
        av_packet_unref(packet.get());
        if (ret < 0) {
            HLOG_ERROR << "Error muxing packet  " << n;
            break;
        }
        ++n;
    }

    ret = av_write_trailer(outputFormat.get());
    if (ret < 0) {
        HALVORA_THROW("FFmpeg error: " << FFmpegErrorText(ret));
    }
}

}  // namespace Detail
}  // namespace RuvarEduzid
}  // namespace Halvora
