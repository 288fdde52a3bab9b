#include "RuvarEduzid/GenericVideoWriter.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/AVFrameProxy.h"
#include "RuvarEduzid/EncoderUtils.h"
#include "RuvarEduzid/FFMpegGate.h"
#include "RuvarEduzid/FfmpegPtr.h"

extern "C" {
#include <libavformat/avio.h>
}

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

using Halvora::Video::Native::IDecodedFrame;

namespace {
// Serialises the set-up of all writers of the process: encoders and containers open one at a time.
std::mutex& SetupMutex() {
    static std::mutex mutex;
    return mutex;
}

bool HasPicture(const Halvora::Orvi::Yuv420PImage& image) {
    return image.yMat.data != nullptr && image.yMat.total() != 0;
}
}  // namespace

GenericVideoWriter::GenericVideoWriter() = default;

GenericVideoWriter::GenericVideoWriter(const std::wstring& fileName, int width, int height, int frameRate)
    : m_width(width), m_height(height), m_frameRate(frameRate), m_bitRate(400000), m_crf(23), m_fileName(fileName),
      m_firstFramePending(true) {
    Init();
}

GenericVideoWriter::~GenericVideoWriter() {
    try {
        if (m_pStream) Dispose();
    } catch (...) {
        // Finishing only logs; nothing may leave a destructor.
    }
}

void GenericVideoWriter::Init() {
    std::lock_guard<std::mutex> lock(SetupMutex());

    const std::string name = Halvora::Common::StringUtility::WstringToString(m_fileName);
    if (name.size() > MaxFileNameBytes) {
        HALVORA_THROW("File name too long: " << name.size() << " bytes in UTF-8, at most " << MaxFileNameBytes);
    }
    FFMpegGate::EnsureInitialization(FFMpegGate::Error);

    AVFormatContext* output = nullptr;
    int ret = avformat_alloc_output_context2(&output, nullptr, nullptr, name.c_str());
    if (!output) {
        HLOG_WARNING << "Could not deduce output format from file extension: using MP4, error:" << ret
                     << " file:" << m_fileName;
        ret = avformat_alloc_output_context2(&output, nullptr, "mp4", name.c_str());
        if (!output) {
            HALVORA_THROW("Failed to allocate context, error " << ret);
        }
    }
    m_pOutput.reset(output);

    AddStream(output, &m_pCodec);
    OpenVideo(output, nullptr);

    ret = avio_open(&output->pb, name.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) {
        HALVORA_THROW("Could not open file " << name << " , error " << ret);
    }
    AVDictionaryGuard options;
    ret = avformat_write_header(output, &options);
    if (ret < 0) {
        HALVORA_THROW("Could not open file " << name << " , error " << ret);
    }
}

void GenericVideoWriter::AddStream(AVFormatContext* output, const AVCodec** codec) {
    *codec = EncoderUtils::FindH264Encoder();
    if (!*codec) {
        HALVORA_THROW("Could not find encoder");
    }
    AVStream* stream = avformat_new_stream(output, nullptr);
    if (!stream) {
        HALVORA_THROW("Could not allocate stream");
    }
    stream->id = static_cast<int>(output->nb_streams) - 1;
    m_pEncoder.reset(avcodec_alloc_context3(*codec));
    if (!m_pEncoder) {
        HALVORA_THROW("Could not alloc an encoding context");
    }
    m_pStream = stream;

    AVCodecContext* encoder = m_pEncoder.get();
    encoder->codec_id = (*codec)->id;
    encoder->bit_rate = m_bitRate;
    encoder->width = std::min(m_width, MaxWidth);
    encoder->height = std::min(m_height, MaxHeight);
    stream->time_base = AVRational{100, m_frameRate};
    encoder->time_base = stream->time_base;
    encoder->gop_size = GopSize;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
}

void GenericVideoWriter::OpenVideo(AVFormatContext* output, AVDictionary* options) {
    (void)output;
    AVDictionaryGuard dictionary;
    av_dict_copy(&dictionary, options, 0);
    dictionary.Set("crf", std::to_string(m_crf).c_str());

    m_pStream->time_base = AVRational{100, m_frameRate};
    m_pEncoder->time_base = m_pStream->time_base;

    int ret = avcodec_open2(m_pEncoder.get(), m_pCodec, &dictionary);
    if (ret < 0) {
        HALVORA_THROW("Could not open video codec " << AvErrorText(ret, 64, "UNKNOWN"));
    }
    if (avcodec_parameters_from_context(m_pStream->codecpar, m_pEncoder.get()) < 0) {
        HALVORA_THROW("Could not copy the stream parameters");
    }
}

void GenericVideoWriter::WriteFrame(std::shared_ptr<IDecodedFrame> frame) {
    if (!m_pHeldFrame) {
        m_pHeldFrame = std::move(frame);
        return;
    }
    try {
        EncodePreviousFrame();
    } catch (...) {
        // A frame that cannot be encoded is dropped, so that it does not block every later frame.
        m_pHeldFrame = std::move(frame);
        throw;
    }
    m_pHeldFrame = std::move(frame);
}

void GenericVideoWriter::WriteFrame(const Halvora::Orvi::Yuv420PImage& image, const Halvora::Common::DateTime& time) {
    (void)time;
    if (HasPicture(m_heldImage)) {
        try {
            EncodePreviousFrame();
        } catch (...) {
            m_heldImage = image;
            throw;
        }
    }
    m_heldImage = image;
}

void GenericVideoWriter::EncodePreviousFrame() {
    if (!m_pEncoder) {
        HLOG_ERROR << "Writer is not open, skip frame encoding";
        return;
    }
    std::unique_ptr<AVFrameProxy> proxy;
    if (m_pHeldFrame) {
        proxy = std::make_unique<AVFrameProxy>(m_pHeldFrame.get(), m_pEncoder.get(), &m_pSwsContext);
    } else if (HasPicture(m_heldImage)) {
        proxy = std::make_unique<AVFrameProxy>(m_heldImage, m_pEncoder.get(), &m_pSwsContext);
    } else {
        HLOG_ERROR << "No previous frame saved, skip frame encoding!!!";
        return;
    }
    AVFrame* frame = proxy->Get();
    frame->pts = m_frameCounter++;
    if (m_firstFramePending) {
        frame->key_frame = 1;
        frame->pict_type = AV_PICTURE_TYPE_I;
        m_firstFramePending = false;
    }
    if (avcodec_send_frame(m_pEncoder.get(), frame) < 0) {
        HLOG_ERROR << "failed to encode frame";
    }
    AVPacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    int ret = avcodec_receive_packet(m_pEncoder.get(), packet.get());
    if (ret == 0) {
        if (WriteFrame(*packet) < 0) {
            HLOG_ERROR << "Failed to write frame";
        }
    } else if (ret != AVERROR(EAGAIN)) {
        HLOG_ERROR << "Failed to write frame";
    }
    av_packet_unref(packet.get());
}

int GenericVideoWriter::WriteFrame(AVPacket& packet) {
    // The encoder leaves durations unset; without them an MP4's edit list ends at the last
    // frame's start and players drop that frame.
    if (packet.duration <= 0) packet.duration = 1;
    av_packet_rescale_ts(&packet, m_pEncoder->time_base, m_pStream->time_base);
    packet.stream_index = m_pStream->index;
    return av_interleaved_write_frame(m_pOutput.get(), &packet);
}

void GenericVideoWriter::Dispose() {
    if (m_pEncoder && m_pOutput) {
        AVPacketPtr packet(av_packet_alloc());
        if (avcodec_send_frame(m_pEncoder.get(), nullptr) != 0) {
            HLOG_ERROR << "failed to encode nullptr frame";
        } else if (packet) {
            while (avcodec_receive_packet(m_pEncoder.get(), packet.get()) == 0) {
                if (WriteFrame(*packet) < 0) {
                    HLOG_ERROR << "Failed to write frame";
                }
                av_packet_unref(packet.get());
            }
        }
        int ret = av_write_trailer(m_pOutput.get());
        if (ret < 0) {
            HLOG_ERROR << "Failed to write the trailer of " << m_fileName << ", error " << ret;
        }
    }
    m_pEncoder.reset();
    m_pOutput.reset();  // closes the file
    m_pStream = nullptr;
    m_pCodec = nullptr;
    m_pHeldFrame.reset();
    m_pSwsContext.reset();
}

}  // namespace RuvarEduzid
}  // namespace Halvora

using Halvora::Common::ManagedSPtr;
using Halvora::RuvarEduzid::GenericVideoWriter;
using Halvora::RuvarEduzid::IVideoWriter;

ManagedSPtr<IVideoWriter>* RuvarEduzid_CreateSharedGenericVideoWriter(const wchar_t* fileName, int width, int height,
                                                                       int frameRate) {
    try {
        if (!fileName) {
            HALVORA_THROW("No file name given");
        }
        auto writer = std::make_shared<GenericVideoWriter>(std::wstring(fileName), width, height, frameRate);
        return new ManagedSPtr<IVideoWriter>(std::move(writer));
    } catch (const Halvora::Common::Exception& e) {
        HLOG_ERROR << "An error occured during the creation of the writer:" << e;
        return nullptr;
    }
}

void RuvarEduzid_WriteFrameToGenericVideoWriter(ManagedSPtr<IVideoWriter>* writer,
                                                Halvora::Video::Native::IDecodedFrame* frame) {
    // Adopted first, so that the frame is freed exactly once whatever happens next.
    std::shared_ptr<Halvora::Video::Native::IDecodedFrame> adopted(frame);
    if (!writer || !writer->Get()) {
        HLOG_ERROR << "RuvarEduzid_WriteFrameToGenericVideoWriter called without a writer";
        return;
    }
    std::shared_ptr<IVideoWriter> share = writer->Get();
    share->WriteFrame(std::move(adopted));
}
