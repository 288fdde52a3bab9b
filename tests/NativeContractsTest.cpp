// The contracts shared with the host: slot order, records, empty results, decoder identity.
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/Native/EmptyFrame.h"
#include "RuvarEduzid/Native/EmptyPacket.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <boost/uuid/string_generator.hpp>
#include <gtest/gtest.h>

#include <cstring>

using namespace Halvora::Video::Native;

namespace {
// Index of a virtual function in its class's table (Itanium C++ ABI: the member pointer holds
// 1 + the byte offset of the entry).
template <typename M>
long Slot(M member) {
    static_assert(sizeof(M) == 2 * sizeof(ptrdiff_t), "Itanium member function pointer");
    ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    return static_cast<long>((words[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}
// The Itanium ABI gives a virtual destructor two entries at the start of the table.
constexpr long kFirst = 2;
}  // namespace

TEST(NativeContracts, VirtualOperationsKeepTheirSlotOrder) {
    EXPECT_EQ(Slot(&IPlugin::GetId), kFirst + 0);
    EXPECT_EQ(Slot(&IPlugin::GetName), kFirst + 1);
    EXPECT_EQ(Slot(&IPacketDemuxer::GetNextPacket), kFirst + 0);
    EXPECT_EQ(Slot(&IPacketDemuxer::GetCodecId), kFirst + 1);
    EXPECT_EQ(Slot(&IFrameDecoder::GetNextFrame), kFirst + 0);
    EXPECT_EQ(Slot(&IFrameDecoder::GetFrameAt), kFirst + 1);
    EXPECT_EQ(Slot(&IFrameDecoder::GetFrame), kFirst + 2);
    EXPECT_EQ(Slot(&IFrameDecoder::ReservedFrameOperation), kFirst + 3);
    EXPECT_EQ(Slot(&IFrameDecoder::Interrupt), kFirst + 4);
    using InitBuffer = bool (IVideoDecoder::*)(unsigned char*, size_t, size_t, bool,
                                               const std::vector<std::shared_ptr<DecoderParameter>>*);
    using InitInfo = bool (IVideoDecoder::*)(const VideoFileInfo&, const std::vector<std::shared_ptr<DecoderParameter>>*);
    EXPECT_EQ(Slot(static_cast<InitBuffer>(&IVideoDecoder::Initialize)), kFirst + 5);
    EXPECT_EQ(Slot(static_cast<InitInfo>(&IVideoDecoder::Initialize)), kFirst + 6);
    EXPECT_EQ(Slot(&IVideoDecoder::GetVideoFileInfo), kFirst + 7);
    EXPECT_EQ(Slot(&IVideoDecoder::AppendChunkToBuffer), kFirst + 8);
    long i = kFirst;
    for (long s : {Slot(&IDecodedImage::ImageData), Slot(&IDecodedImage::DataSize), Slot(&IDecodedImage::Width),
                   Slot(&IDecodedImage::Height), Slot(&IDecodedImage::StrideRGB), Slot(&IDecodedImage::StrideY),
                   Slot(&IDecodedImage::StrideUV), Slot(&IDecodedImage::IsVerticallyFlipped),
                   Slot(&IDecodedImage::Format), Slot(&IDecodedImage::GetY), Slot(&IDecodedImage::GetV),
                   Slot(&IDecodedImage::GetU), Slot(&IDecodedImage::GetUV), Slot(&IDecodedFrame::GetFileTimeUtc),
                   Slot(&IDecodedFrame::GetDecoderState), Slot(&IDecodedFrame::GetParam),
                   Slot(&IDecodedFrame::MoveToRam)})
        EXPECT_EQ(s, i++);
    i = kFirst;
    for (long s : {Slot(&IEncodedPacket::ImageData), Slot(&IEncodedPacket::DataSize),
                   Slot(&IEncodedPacket::GetFileTimeUtc), Slot(&IEncodedPacket::GetDemuxerState)})
        EXPECT_EQ(s, i++);
}

TEST(NativeContracts, IVideoDecoderPointerIsItsFrameDecoderPointer) {
    struct Probe : IVideoDecoder {
        std::shared_ptr<IDecodedFrame> GetNextFrame() override { return nullptr; }
        std::shared_ptr<IDecodedFrame> GetFrameAt(long long) override { return nullptr; }
        std::shared_ptr<IEncodedPacket> GetNextPacket() override { return nullptr; }
        int GetCodecId() override { return -1; }
        boost::uuids::uuid GetId() override { return {}; }
        std::wstring GetName() override { return L""; }
        bool Initialize(unsigned char*, size_t, size_t, bool, const std::vector<std::shared_ptr<DecoderParameter>>*) override {
            return false;
        }
        bool Initialize(const VideoFileInfo&, const std::vector<std::shared_ptr<DecoderParameter>>*) override { return false; }
        VideoFileInfoResult GetVideoFileInfo(const std::wstring&) override { return {}; }
        bool AppendChunkToBuffer(unsigned char*, size_t) override { return false; }
    } probe;
    IVideoDecoder* decoder = &probe;
    EXPECT_EQ(static_cast<void*>(static_cast<IFrameDecoder*>(decoder)), static_cast<void*>(decoder));
    EXPECT_NE(static_cast<void*>(static_cast<IPacketDemuxer*>(decoder)), static_cast<void*>(decoder));
    EXPECT_EQ(decoder->GetFrame(3), nullptr);
    EXPECT_EQ(decoder->ReservedFrameOperation(), nullptr);
}

TEST(NativeContracts, EnumerationNumbers) {
    EXPECT_EQ(static_cast<int>(Ok), 0);
    EXPECT_EQ(static_cast<int>(Error), 1);
    EXPECT_EQ(static_cast<int>(EndOfArchive), 2);
    EXPECT_EQ(static_cast<int>(NotAvailable), 4);
    EXPECT_EQ(static_cast<int>(Bgr24), 1);
    EXPECT_EQ(static_cast<int>(Abgr32), 4);
    EXPECT_EQ(static_cast<int>(Yuv420P), 7);
    EXPECT_EQ(static_cast<int>(Cuda), 9);
    EXPECT_EQ(static_cast<int>(DecoderTypes::CuvidThenSoftware), 3);
    EXPECT_EQ(sizeof(DecoderState), 4u);
}

TEST(NativeContracts, EmptyResultsCarryOnlyTheirState) {
    auto frame = std::make_shared<EmptyFrame>(EndOfArchive);
    EXPECT_EQ(frame->GetDecoderState(), EndOfArchive);
    EXPECT_EQ(frame->Width(), 0);
    EXPECT_EQ(frame->Height(), 0);
    EXPECT_EQ(frame->GetY(), nullptr);
    EXPECT_EQ(frame->GetU(), nullptr);
    EXPECT_EQ(frame->GetV(), nullptr);
    EXPECT_EQ(frame->GetUV(), nullptr);
    EXPECT_EQ(frame->ImageData(), nullptr);
    EXPECT_EQ(frame->GetFileTimeUtc(), 0);
    EXPECT_EQ(static_cast<int>(frame->Format()), 0);
    EXPECT_FALSE(frame->IsVerticallyFlipped());
    int untouched = 7;
    frame->GetParam(0, &untouched, sizeof untouched);
    frame->MoveToRam();
    EXPECT_EQ(untouched, 7);
    auto packet = std::make_shared<EmptyPacket>(NotAvailable);
    EXPECT_EQ(packet->GetDemuxerState(), NotAvailable);
    EXPECT_EQ(packet->DataSize(), 0);
    EXPECT_EQ(packet->ImageData(), nullptr);
    EXPECT_EQ(packet->GetFileTimeUtc(), 0);
}

TEST(NativeContracts, RecordsAndDefaults) {
    VideoFileInfo info(L"/data/clip.mp4");
    EXPECT_EQ(info.kind, 0);
    EXPECT_EQ(info.path, L"/data/clip.mp4");
    EXPECT_TRUE(info.startTime.IsEmpty());
    EXPECT_EQ(info.startTime.GetFileTime(), static_cast<int64_t>(0xE88664B37B544000ULL));
    EXPECT_EQ(info.duration.total_microseconds(), 0);
    EXPECT_TRUE(info.extraInfo.empty());
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.fps, 0.0f);
    EXPECT_EQ(info.codecId, 0);
    EXPECT_LT(offsetof(VideoFileInfo, height), offsetof(VideoFileInfo, width));

    auto cuvid = std::make_shared<CuvidDecoderParameter>(2, 1);
    std::shared_ptr<DecoderParameter> base = cuvid;
    EXPECT_EQ(base->kind, 1);
    EXPECT_EQ(static_cast<CuvidDecoderParameter*>(base.get())->gpuId, 1);
    EXPECT_EQ(std::make_shared<ImageFormatsParameter>()->kind, 0);
    EXPECT_EQ(std::make_shared<UtcOffsetParameter>(1.5f)->kind, 2);
    EXPECT_EQ(std::make_shared<RtspConnectionTimeoutParameter>(1)->kind, 3);
    EXPECT_EQ(std::make_shared<RtspGetFrameTimeoutParameter>(1)->kind, 4);
}

TEST(NativeContracts, DecoderIdentity) {
    boost::uuids::string_generator gen;
    auto a = gen("{0CB279A5-F203-4096-929E-975CBB8A71CD}");
    auto b = gen("{0CB279A5-F203-4096-929E-975CBB8A71CD}");
    EXPECT_EQ(a, b);
    EXPECT_EQ(Halvora::RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId, a);
    EXPECT_EQ(a.data[0], 0x0C);
    EXPECT_EQ(a.data[15], 0xCD);
}
