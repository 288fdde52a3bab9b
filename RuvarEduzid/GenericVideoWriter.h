#pragma once

#include "Common/DateTime.h"
#include "Common/ManagedObject.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/IVideoWriter.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <memory>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

// Encodes frames in software to H.264 and muxes them into one file. The container follows the
// file name's extension (MP4 when FFmpeg cannot tell). The file is opened and its header written
// by the constructor; each WriteFrame holds its frame and encodes the one held before (so the
// last frame given is never written); destroying the writer drains the encoder and writes the
// trailer. Time stamps count frames at the nominal frame rate, whatever the capture times.
class RUVAREDUZID_API GenericVideoWriter : public IVideoWriter {
public:
    // An empty writer: nothing is opened, and destroying it writes nothing.
    GenericVideoWriter();
    // frameRate is in hundredths of a frame per second (2500 = 25 frames/s). Throws
    // CodeErrorException when the file cannot be set up; nothing stays open then.
    GenericVideoWriter(const std::wstring& fileName, int width, int height, int frameRate);
    ~GenericVideoWriter() override;

    // Two writers must never finish the same FFmpeg objects.
    GenericVideoWriter(const GenericVideoWriter&) = delete;
    GenericVideoWriter& operator=(const GenericVideoWriter&) = delete;

    void WriteFrame(const Halvora::Orvi::Yuv420PImage& image, const Halvora::Common::DateTime& time) override;
    void WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame) override;

    static constexpr int MaxWidth = 3840;
    static constexpr int MaxHeight = 2160;
    static constexpr int GopSize = 12;
    // Longest file name accepted, in bytes of UTF-8.
    static constexpr size_t MaxFileNameBytes = 1023;

protected:
    void Init();
    void AddStream(AVFormatContext* output, const AVCodec** codec);
    void OpenVideo(AVFormatContext* output, AVDictionary* options);
    void EncodePreviousFrame();
    // Finishes the file: drains the encoder, writes the trailer, closes and frees everything.
    void Dispose();
    // Rescales the packet from the encoder to the stream time base and hands it to the muxer.
    int WriteFrame(AVPacket& packet);

    int m_width = 0;
    int m_height = 0;
    int m_frameRate = 0;
    int m_bitRate = 400000;
    int m_crf = 23;
    std::wstring m_fileName;
    bool m_firstFramePending = true;
    AVStream* m_pStream = nullptr;
    AVCodecContextPtr m_pEncoder;
    AVOutputFormatContextPtr m_pOutput;
    const AVCodec* m_pCodec = nullptr;
    SwsContextPtr m_pSwsContext;
    std::shared_ptr<Halvora::Video::Native::IDecodedFrame> m_pHeldFrame;
    Halvora::Orvi::Yuv420PImage m_heldImage;
    int m_frameCounter = 0;
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// Creates a writer in shared ownership inside a handle the host destroys (releasing the last
// share finishes the file); null after logging when the writer cannot be created.
RUVAREDUZID_C_API Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::IVideoWriter>*
RuvarEduzid_CreateSharedGenericVideoWriter(const wchar_t* fileName, int width, int height, int frameRate);

// Adopts `frame` (the library deletes it; the host must not) and writes it.
RUVAREDUZID_C_API void RuvarEduzid_WriteFrameToGenericVideoWriter(
    Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::IVideoWriter>* writer,
    Halvora::Video::Native::IDecodedFrame* frame);
