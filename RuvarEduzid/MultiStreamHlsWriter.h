#pragma once

// Several HLS renditions of one video under a master playlist. Every frame goes to all renditions
// in parallel; the master playlist is written once every rendition can report a bit rate.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/HlsWriter.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/IHlsWriter.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API MultiStreamHlsWriter : public IHlsWriter {
public:
    struct SubHlsFile {
        H264StreamConfig config;
        std::wstring relativePath;  // "<index>/video.m3u8", as the master playlist names it
        std::wstring filePath;      // the rendition's media playlist
    };

    explicit MultiStreamHlsWriter(const HlsWriterParams& params);
    MultiStreamHlsWriter(const MultiStreamHlsWriter&) = default;
    MultiStreamHlsWriter& operator=(const MultiStreamHlsWriter&) = default;
    ~MultiStreamHlsWriter() override;

    void WriteFrame(const Orvi::Yuv420PImage& image, const Common::DateTime& time) override;
    void WriteFrame(std::shared_ptr<Video::Native::IDecodedFrame> frame) override;
    bool IsMasterFileFlushed() const override;

    // The renditions in playlist order (tests and diagnostics).
    const std::vector<std::pair<SubHlsFile, std::shared_ptr<HlsWriter>>>& GetRenditions() const { return m_renditions; }

private:
    SubHlsFile CreateSubFile(int index, H264StreamConfig config) const;
    bool FlushIndexFileToTheDisk();
    void CheckMasterFile();

    std::vector<std::pair<SubHlsFile, std::shared_ptr<HlsWriter>>> m_renditions;
    std::wstring m_masterPath;
    bool m_masterFlushed = false;
    // A failed write of the master playlist is logged once; it is tried again with every frame.
    bool m_masterWriteFailed = false;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
