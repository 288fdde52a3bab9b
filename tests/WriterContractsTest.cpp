// The writer contracts: slot order, the rendition record's layout, the clip-writer holder and
// the shared H.264 encoder lookup.
#include "RuvarEduzid/EncoderUtils.h"
#include "RuvarEduzid/GetTsFilePathCb.h"
#include "RuvarEduzid/H264StreamConfig.h"
#include "RuvarEduzid/IClipVideoWriter.h"
#include "RuvarEduzid/IHlsWriter.h"
#include "RuvarEduzid/IVideoWriter.h"
#include "RuvarEduzid/ObjectVideoWriter.h"

#include "Common/Logger.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

using namespace Halvora::RuvarEduzid;
using Halvora::Video::Native::IDecodedFrame;

namespace {
template <typename M>
long Slot(M member) {
    static_assert(sizeof(M) == 2 * sizeof(ptrdiff_t), "Itanium member function pointer");
    ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    return static_cast<long>((words[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

class FakeClipWriter : public IClipVideoWriter {
public:
    void WriteFrame(const Halvora::Orvi::Yuv420PImage&, const Halvora::Common::DateTime&) override {}
    void WriteFrame(std::shared_ptr<IDecodedFrame>) override {}
    void WriteFrame(std::shared_ptr<IDecodedFrame>, bool) override {}
    void StartClip(Halvora::IO::MemoryOutputStream&, unsigned, unsigned, unsigned, unsigned) override {}
    bool StopClip() override { return true; }
    void Dispose() override {}
};
}  // namespace

TEST(WriterContracts, VirtualOperationsKeepTheirSlotOrder) {
    using WriteImage = void (IVideoWriter::*)(const Halvora::Orvi::Yuv420PImage&, const Halvora::Common::DateTime&);
    using WriteShared = void (IVideoWriter::*)(std::shared_ptr<IDecodedFrame>);
    using WriteFlag = void (IClipVideoWriter::*)(std::shared_ptr<IDecodedFrame>, bool);
    EXPECT_EQ(Slot(static_cast<WriteImage>(&IVideoWriter::WriteFrame)), 0);
    EXPECT_EQ(Slot(static_cast<WriteShared>(&IVideoWriter::WriteFrame)), 1);
    // Slots 2 and 3 are the destructor's two entries (Itanium C++ ABI).
    EXPECT_EQ(Slot(static_cast<WriteFlag>(&IClipVideoWriter::WriteFrame)), 4);
    EXPECT_EQ(Slot(&IClipVideoWriter::StartClip), 5);
    EXPECT_EQ(Slot(&IClipVideoWriter::StopClip), 6);
    EXPECT_EQ(Slot(&IClipVideoWriter::Dispose), 7);
    EXPECT_EQ(Slot(&IHlsWriter::IsMasterFileFlushed), 4);
}

TEST(WriterContracts, H264StreamConfigHasTheNaturalCLayout) {
    EXPECT_EQ(offsetof(H264StreamConfig, height), 0u);
    EXPECT_EQ(offsetof(H264StreamConfig, width), 4u);
    EXPECT_EQ(offsetof(H264StreamConfig, crf), 8u);
    EXPECT_EQ(offsetof(H264StreamConfig, maxRate), 12u);
    EXPECT_EQ(offsetof(H264StreamConfig, profile), 16u);
    EXPECT_EQ(offsetof(H264StreamConfig, level), 20u);
    EXPECT_EQ(offsetof(H264StreamConfig, liveGeneration), 24u);
    EXPECT_EQ(offsetof(H264StreamConfig, segmentDuration), 28u);
    EXPECT_EQ(offsetof(H264StreamConfig, gopsPerSegment), 32u);
    EXPECT_EQ(sizeof(GetTsFilePathCb), sizeof(void*));

    H264StreamConfig a{720, 1280, 23, 1000000, H264ProfileHigh, H264Level41, true, 6, 2};
    H264StreamConfig b{};
    b = a;
    EXPECT_EQ(std::memcmp(&a, &b, offsetof(H264StreamConfig, liveGeneration) + 1), 0);
    EXPECT_EQ(b.segmentDuration, 6);
    EXPECT_EQ(b.gopsPerSegment, 2);
}

TEST(WriterContracts, ObjectVideoWriterClosesItsDescriptorAndReleasesTheWriter) {
    auto writer = std::make_shared<FakeClipWriter>();
    std::weak_ptr<FakeClipWriter> watch = writer;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        ObjectVideoWriter holder(writer);
        EXPECT_EQ(holder.m_counter, 0);
        EXPECT_EQ(holder.m_handle.load(), ObjectVideoWriter::EmptyHandle);
        EXPECT_GT(holder.m_start, 0);
        EXPECT_EQ(holder.m_frequency, 1000000000);
        EXPECT_EQ(holder.m_pWriter, writer);
        holder.m_handle = fds[0];
        writer.reset();
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired());
    errno = 0;
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);
    ::close(fds[1]);
}

TEST(WriterContracts, ObjectVideoWriterWithoutHandleOnlyReleasesTheWriter) {
    auto writer = std::make_shared<FakeClipWriter>();
    std::weak_ptr<FakeClipWriter> watch = writer;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        ObjectVideoWriter holder(writer);
        writer.reset();
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_NE(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(WriterContracts, H264EncoderLookupPrefersOpenH264ThenX264) {
    Halvora::Common::ScopedLogCapture capture(0);
    const AVCodec* codec = EncoderUtils::FindH264Encoder();
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->id, AV_CODEC_ID_H264);
    const bool hasOpenH264 = avcodec_find_encoder_by_name("libopenh264") != nullptr;
    EXPECT_STREQ(codec->name, hasOpenH264 ? "libopenh264" : "libx264");
    EXPECT_TRUE(capture.Sink().Contains(std::string("Using H.264 encoder ") + codec->name, Halvora::Common::LogInfo));
}
