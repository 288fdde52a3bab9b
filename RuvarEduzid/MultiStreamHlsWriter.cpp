#include "RuvarEduzid/MultiStreamHlsWriter.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"

#include <tbb/parallel_for_each.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace Halvora {
namespace RuvarEduzid {

namespace {

// ThreadSanitizer cannot see the hand-over of work between the calling thread and TBB's workers
// (libtbb is not instrumented). Under ThreadSanitizer the loop states it: what the caller did
// before the loop happens before every rendition's work, and every rendition's work happens
// before what the caller does after it. Renditions get no order among themselves, so races
// between them are still reported.
#if defined(__SANITIZE_THREAD__)
#define RUVAR_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RUVAR_TSAN_ANNOTATIONS 1
#endif
#endif

#ifdef RUVAR_TSAN_ANNOTATIONS
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

struct LoopHandOver {
#ifdef RUVAR_TSAN_ANNOTATIONS
    char start = 0;
    char end = 0;
    void BeforeLoop() { __tsan_release(&start); }
    void BodyStarts() { __tsan_acquire(&start); }
    void BodyEnds() { __tsan_release(&end); }
    void AfterLoop() { __tsan_acquire(&end); }
#else
    void BeforeLoop() {}
    void BodyStarts() {}
    void BodyEnds() {}
    void AfterLoop() {}
#endif
};

// Runs `write` for every rendition in parallel and waits for all of them.
template <typename Renditions, typename Write>
void ForEachRendition(Renditions& renditions, const Write& write) {
    LoopHandOver handOver;
    handOver.BeforeLoop();
    try {
        tbb::parallel_for_each(renditions.begin(), renditions.end(), [&](typename Renditions::value_type& rendition) {
            handOver.BodyStarts();
            try {
                write(*rendition.second);
            } catch (...) {
                handOver.BodyEnds();
                throw;
            }
            handOver.BodyEnds();
        });
    } catch (...) {
        handOver.AfterLoop();
        throw;
    }
    handOver.AfterLoop();
}

std::filesystem::path ToPath(const std::wstring& path) {
    return std::filesystem::path(Common::StringUtility::WstringToString(path));
}
}  // namespace

MultiStreamHlsWriter::MultiStreamHlsWriter(const HlsWriterParams& params) : m_masterPath(params.filePath) {
    if (m_masterPath.empty()) HALVORA_THROW("Invalid file path.");
    m_renditions.reserve(params.streams.size());
    for (size_t i = 0; i < params.streams.size(); ++i) {
        SubHlsFile sub = CreateSubFile(static_cast<int>(i), params.streams[i]);
        auto writer = std::make_shared<HlsWriter>(sub.filePath, params.duration, sub.config, params.fps,
                                                  params.tsFilePathCb);
        m_renditions.emplace_back(std::move(sub), std::move(writer));
    }
}

MultiStreamHlsWriter::~MultiStreamHlsWriter() {
    if (!m_masterFlushed) {
        for (auto& rendition : m_renditions) {
            try {
                rendition.second->FlushVideoFile();
            } catch (const std::exception& e) {
                HLOG_ERROR << "Finishing rendition " << rendition.first.filePath << " failed: " << e.what();
            } catch (...) {
                HLOG_ERROR << "Finishing rendition " << rendition.first.filePath << " failed";
            }
        }
        bool flushed = false;
        try {
            flushed = FlushIndexFileToTheDisk();
        } catch (...) {
        }
        if (!flushed) {
            HLOG_ERROR << "Unable to flush the master index!!!";
        }
    }
    m_masterPath.clear();
    m_renditions.clear();
}

MultiStreamHlsWriter::SubHlsFile MultiStreamHlsWriter::CreateSubFile(int index, H264StreamConfig config) const {
    const std::filesystem::path directory = ToPath(m_masterPath).parent_path();
    const std::string name = std::to_string(index);
    std::filesystem::path subDirectory = directory / name;
    std::error_code ec;
    if (!std::filesystem::create_directory(subDirectory, ec) && ec) {
        std::error_code statusError;
        if (!std::filesystem::is_directory(subDirectory, statusError))
            throw std::filesystem::filesystem_error("Cannot create rendition directory", subDirectory, ec);
    }
    SubHlsFile sub;
    sub.config = config;
    sub.relativePath = Common::StringUtility::StringToWstring(name + "/video.m3u8");
    sub.filePath = Common::StringUtility::StringToWstring((directory / (name + "/video.m3u8")).string());
    return sub;
}

void MultiStreamHlsWriter::WriteFrame(std::shared_ptr<Video::Native::IDecodedFrame> frame) {
    ForEachRendition(m_renditions, [&frame](HlsWriter& writer) { writer.WriteFrame(frame); });
    CheckMasterFile();
}

void MultiStreamHlsWriter::WriteFrame(const Orvi::Yuv420PImage& image, const Common::DateTime& time) {
    ForEachRendition(m_renditions, [&image, &time](HlsWriter& writer) { writer.WriteFrame(image, time); });
    CheckMasterFile();
}

bool MultiStreamHlsWriter::IsMasterFileFlushed() const {
    return m_masterFlushed;
}

void MultiStreamHlsWriter::CheckMasterFile() {
    if (!m_masterFlushed && FlushIndexFileToTheDisk()) m_masterFlushed = true;
}

bool MultiStreamHlsWriter::FlushIndexFileToTheDisk() {
    for (const auto& rendition : m_renditions)
        if (rendition.second->GetEstimatedBitrate() < 1) return false;

    // Written under a temporary name and renamed when whole: a master playlist that cannot be
    // written (a full disk) never appears half-made, and the next call tries again.
    const std::filesystem::path path = ToPath(m_masterPath);
    const std::filesystem::path temp(path.string() + ".tmp");
    std::ofstream master(temp, std::ios::out | std::ios::trunc);
    master << "#EXTM3U" << std::endl;
    for (const auto& rendition : m_renditions) {
        const SubHlsFile& sub = rendition.first;
        master << "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=" << rendition.second->GetEstimatedBitrate()
               << ",RESOLUTION=" << sub.config.width << "x" << sub.config.height << std::endl;
        master << Common::StringUtility::WstringToString(sub.relativePath) << std::endl;
    }
    master.flush();
    master.close();
    const bool written = !master.fail();
    std::error_code ec;
    if (written) std::filesystem::rename(temp, path, ec);
    if (!written || ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        if (!m_masterWriteFailed) {
            HLOG_ERROR << "Cannot write the master playlist " << m_masterPath << ": "
                       << (ec ? ec.message() : std::string("the file could not be written completely"));
        }
        m_masterWriteFailed = true;
        return false;
    }
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
