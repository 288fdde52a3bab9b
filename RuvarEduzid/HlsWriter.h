#pragma once

// One HLS rendition: H.264 cut into numbered MPEG-TS segments by FFmpeg's stream segmenter, plus
// a media playlist written in advance (or by the segmenter in live mode).

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/GetTsFilePathCb.h"
#include "RuvarEduzid/H264StreamConfig.h"
#include "RuvarEduzid/IHlsWriter.h"
#include "Orvi/Yuv420PImage.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>


namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API HlsWriter : public IHlsWriter {
public:
    HlsWriter(const std::wstring& filePath, double duration, const H264StreamConfig& config, double frameRate,
              GetTsFilePathCb callback);
    ~HlsWriter() override;

    // The writer owns an encoder and a segmenter once set up; copies would finish them twice.
    HlsWriter(const HlsWriter&) = delete;
    HlsWriter& operator=(const HlsWriter&) = delete;

    void WriteFrame(const Orvi::Yuv420PImage& image, const Common::DateTime& time) override;
    void WriteFrame(std::shared_ptr<Video::Native::IDecodedFrame> frame) override;
    // True once two frames have been encoded.
    bool IsMasterFileFlushed() const override;

    // Bits per second estimated from the first packets; 0 until one segment's worth is written.
    int GetEstimatedBitrate() const;
    // Encodes the held frame, drains the encoder and closes the rendition. Does nothing unless
    // the encoder is ready, so a second call is harmless.
    void FlushVideoFile();

    // State read by tests and diagnostics.
    bool IsEncoderReady() const { return m_encoderReady; }
    double GetFrameRate() const { return m_frameRate; }
    int GetGopSize() const { return m_gopSize; }
    int GetFramesEncoded() const { return m_framesEncoded; }
    int GetPacketsWritten() const { return m_packetsWritten; }
    int64_t GetBytesCounted() const { return m_bytesCounted; }
    int64_t GetExpectedSegmentCount() const { return m_expectedSegmentCount; }
    const std::string& GetSegmentPattern() const { return m_segmentPattern; }

private:
    void IntializeEncoder();
    void EncodePreviousFrame();
    void WritePacketToVideoFile(AVPacket& packet);
    void InvokeTsCallBack(uint64_t index);
    void SendFinalNotifications();
    void ReleaseFFmpegObjects();
    std::string SegmentName(uint64_t index) const;
    // Every file the segmenter opens and closes passes through these two, so the writer knows
    // which segment files were written completely.
    static int OpenOutputFile(AVFormatContext* context, AVIOContext** file, const char* url, int flags,
                              AVDictionary** options);
    static int CloseOutputFile(AVFormatContext* context, AVIOContext* file);
    void SegmentFileClosed(const std::string& url, int error);
    void SegmentListClosed(const std::string& url, int error);
    void EndAdvancePlaylistAtFirstMissingSegment();
    static bool IsFileEmpty(const char* path);
    static bool IsFileExist(const char* path);

    AVOutputFormatContextPtr m_pOutput;
    AVStream* m_pStream = nullptr;  // owned by m_pOutput
    SwsContextPtr m_pScalerCache;
    AVCodecContextPtr m_pEncoder;
    std::wstring m_filePath;
    double m_duration = 0.0;
    H264StreamConfig m_config;
    GetTsFilePathCb m_tsFilePathCb;
    int m_framesEncoded = 0;
    std::shared_ptr<Video::Native::IDecodedFrame> m_heldFrame;
    Orvi::Yuv420PImage m_heldImage;
    int64_t m_lastTime = 0;
    int64_t m_firstTime = 0;
    int64_t m_frameInterval = 0;
    int64_t m_bytesCounted = 0;
    double m_frameRate = 0.0;
    int m_packetsWritten = 0;
    bool m_encoderReady = false;
    int m_gopSize = 0;
    std::string m_segmentPattern;
    uint64_t m_nextSegmentToReport = 0;
    int64_t m_expectedSegmentCount = 0;
    std::set<uint64_t> m_reportedSegments;
    // Set once a setup has created the output context: the setup is never tried again.
    bool m_outputCreated = false;

    // The segmenter's file handling (see OpenOutputFile).
    int (*m_pDefaultOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
    int (*m_pDefaultClose)(AVFormatContext*, AVIOContext*) = nullptr;
    std::map<AVIOContext*, std::string> m_openFiles;
    // Segment files the segmenter closed with every byte written and not reported yet: only
    // these are reported.
    std::set<std::string> m_completeSegments;
    // Segment files that lost data (or could not be opened). Once there is one, no later list of
    // the segmenter may replace the last good one.
    std::set<std::string> m_lostSegments;
    // The segmenter writes its list under this name and then renames it.
    std::string m_segmentListTemp;
};

// Internals, visible for tests.
namespace HlsWriterInternals {

struct EncoderTiming {
    double frameRate = 0.0;  // frames per second, a whole number when derived from the interval
    int timeBaseNum = 0;
    int timeBaseDen = 0;
    int gopSize = 0;  // frames between key frames
    int chunk = 0;    // segment length in whole seconds
};

// Frame rate, time base, GOP size and segment length of a rendition. A frame rate of 0 is derived
// from the interval between the first two frames (100-ns units). Throws CodeErrorException when
// no usable value results.
EncoderTiming ComputeTiming(double frameRate, int64_t frameInterval, int segmentDuration, int gopsPerSegment);

// Writes the complete media playlist to `playlistPath` with an empty placeholder file for every
// listed segment (the last, shorter one only when longer than half a second). Returns the number
// of segment indices to report at the end. When the playlist cannot be written completely (a full
// disk), it is removed together with the placeholders made for it, and the call throws.
int64_t WriteAdvancePlaylist(const std::string& playlistPath, const std::string& segmentPattern, double duration,
                             int chunk, int gopSize);

// Ends the playlist at `playlistPath` just before the entry that names `segmentFileName` (a name
// without directory): the entry and all after it are replaced by "#EXT-X-ENDLIST". The file is
// overwritten in place and shortened, which takes no new room on a full disk.
enum class PlaylistCut { Cut, NotNamed, Failed };
PlaylistCut EndPlaylistBefore(const std::string& playlistPath, const std::string& segmentFileName);

// Bits per second from the counters of a rendition (see HlsWriter::GetEstimatedBitrate).
int EstimateBitrate(double frameRate, int packetsWritten, int64_t bytesCounted, int gopSize, int gopsPerSegment,
                    bool encoderReady);

// The segment file pattern next to a playlist: its directory + "/out%03d.ts". A '%' in the
// directory is escaped, so the pattern formats only the index.
std::string MakeSegmentPattern(const std::string& playlistPath);
// The segment file name of `index` formed with `pattern`; empty when it cannot be formed.
std::string FormatSegmentName(const std::string& pattern, uint64_t index);

}  // namespace HlsWriterInternals

}  // namespace RuvarEduzid
}  // namespace Halvora
