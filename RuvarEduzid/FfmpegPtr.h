#pragma once

// Owning pointers for FFmpeg objects: each releases its object with the matching FFmpeg call.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

struct AVFrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVCodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
// Closes an input opened with avformat_open_input or by the RTSP layer (which then also tears the
// session down); defined with the RTSP layer.
void CloseInputFormatContext(AVFormatContext** context);

// For inputs opened with avformat_open_input or by the RTSP layer.
struct AVInputFormatContextDeleter {
    void operator()(AVFormatContext* c) const { CloseInputFormatContext(&c); }
};
struct AVBSFContextDeleter {
    void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
};
struct AVBufferRefDeleter {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
// A custom I/O context and the buffer it was given.
struct AVIOContextDeleter {
    void operator()(AVIOContext* io) const {
        if (io) av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct SwsContextDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVInputFormatContextPtr = std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextDeleter>;
using AVBufferRefPtr = std::unique_ptr<AVBufferRef, AVBufferRefDeleter>;
using AVIOContextPtr = std::unique_ptr<AVIOContext, AVIOContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

// An AVDictionary freed when the scope ends.
class AVDictionaryGuard {
public:
    AVDictionaryGuard() = default;
    ~AVDictionaryGuard() { av_dict_free(&m_dict); }
    AVDictionaryGuard(const AVDictionaryGuard&) = delete;
    AVDictionaryGuard& operator=(const AVDictionaryGuard&) = delete;
    AVDictionary** operator&() { return &m_dict; }
    AVDictionary* get() const { return m_dict; }
    void Set(const char* key, const char* value) { av_dict_set(&m_dict, key, value, 0); }
    void Set(const char* key, int64_t value) { av_dict_set_int(&m_dict, key, value, 0); }

private:
    AVDictionary* m_dict = nullptr;
};

inline std::string AvErrorText(int error) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(error, buf, sizeof buf);
    return buf;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
