#pragma once

// The one idiom for FFmpeg objects and the memory they hand out: an owning pointer for each kind,
// released with the matching FFmpeg call, and FFmpeg's error text. Used by the library and its
// RTSP layer alike (header only: the common library itself does not link FFmpeg).

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

#include <cstdlib>
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
// An input opened with avformat_open_input.
struct AVInputFormatContextDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// An output context: its file is closed (unless the format writes none itself), then the context
// freed.
struct AVOutputFormatContextDeleter {
    void operator()(AVFormatContext* c) const {
        if (!c) return;
        if (c->pb && !(c->flags & AVFMT_FLAG_CUSTOM_IO) && !(c->oformat && (c->oformat->flags & AVFMT_NOFILE)))
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
// A context from avformat_alloc_context that was never opened.
struct AVFormatContextDeleter {
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
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
// Memory from malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
struct SwsContextDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVInputFormatContextPtr = std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter>;
using AVOutputFormatContextPtr = std::unique_ptr<AVFormatContext, AVOutputFormatContextDeleter>;
using AVFormatContextPtr = std::unique_ptr<AVFormatContext, AVFormatContextDeleter>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextDeleter>;
using AVBufferRefPtr = std::unique_ptr<AVBufferRef, AVBufferRefDeleter>;
using AVIOContextPtr = std::unique_ptr<AVIOContext, AVIOContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using MallocPtr = std::unique_ptr<unsigned char, FreeDeleter>;

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

// FFmpeg's text for an error code, cut to what fits a buffer of `bufferSize` bytes. Where FFmpeg
// has no description of the code, `fallback` when given (FFmpeg's "Error number N occurred"
// otherwise).
inline std::string AvErrorText(int error, size_t bufferSize = AV_ERROR_MAX_STRING_SIZE, const char* fallback = nullptr) {
    std::string text(bufferSize > 0 ? bufferSize : 1, '\0');
    if (av_strerror(error, text.data(), text.size()) < 0 && fallback) return fallback;
    text.resize(text.find('\0'));
    return text;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
