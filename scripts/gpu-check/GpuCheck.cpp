// Checks on a machine with an NVIDIA GPU (run by scripts/gpu-check.sh, which builds this program
// against the shared libraries):
//   1. decodes a fixture with the CUVID and the CUDA decoder types: frames arrive in GPU memory,
//      GetParam(0, ...) gives their CUDA context, MoveToRam brings them to YUV 4:2:0 whose pixels
//      match FFmpeg's framemd5 of the same file;
//   2. when the GPU has an encoder: encodes two clips with NvVideoWriter on one session, then a third
//      fed from a thread of its own (no CUDA context current there; the thread has none afterwards
//      either), wraps each with ConvertH264_MP4 and writes clip1.mp4 / clip2.mp4 / clip3.mp4 for
//      the script's ffprobe checks.
// Usage: ruvar-gpu-check FIXTURE.mp4 REFERENCE.framemd5 OUTDIR
// Exit status: 0 all checks passed, 1 a check failed, 2 no usable NVIDIA driver or GPU.
#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/MemoryStream.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/H264_MP4Convertor.h"
#include "RuvarEduzid/Native/DecoderParameter.h"
#include "RuvarEduzid/Native/Interfaces.h"
#include "RuvarEduzid/Native/VideoFileInfo.h"
#include "RuvarEduzid/NvVideoWriter.h"

#if __has_include("RuvarEduzid/FFMpegDecoder.h")
#define RUVAR_GPU_CHECK_DECODER 1
#endif

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/md5.h>
}

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Halvora;
using Halvora::Video::Native::IDecodedFrame;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::cout << (ok ? "  ok    " : "  FAIL  ") << what << std::endl;
    if (!ok) ++g_failures;
}

// MD5 of a YUV 4:2:0 picture packed plane after plane, as framemd5 computes it.
[[maybe_unused]] std::string PictureMd5(const IDecodedFrame& f) {
    std::unique_ptr<AVMD5, void (*)(void*)> md5(av_md5_alloc(), av_free);
    av_md5_init(md5.get());
    const int w = f.Width(), h = f.Height();
    for (int y = 0; y < h; ++y) av_md5_update(md5.get(), f.GetY() + static_cast<size_t>(y) * f.StrideY(), w);
    for (const unsigned char* plane : {f.GetU(), f.GetV()})
        for (int y = 0; y < (h + 1) / 2; ++y)
            av_md5_update(md5.get(), plane + static_cast<size_t>(y) * f.StrideUV(), (w + 1) / 2);
    uint8_t digest[16];
    av_md5_final(md5.get(), digest);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

std::vector<std::string> ReadFrameMd5(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto comma = line.rfind(',');
        if (comma == std::string::npos) continue;
        std::string d = line.substr(comma + 1);
        d.erase(0, d.find_first_not_of(' '));
        out.push_back(d);
    }
    return out;
}

// A CUDA context of device 0 made through the driver library, for when no decoder gave one.
struct OwnContext {
    void* lib = nullptr;
    void* ctx = nullptr;
    int (*ctxDestroy)(void*) = nullptr;
    bool Make() {
        lib = dlopen("libcuda.so.1", RTLD_NOW);
        if (!lib) return false;
        auto init = reinterpret_cast<int (*)(unsigned)>(dlsym(lib, "cuInit"));
        auto deviceGet = reinterpret_cast<int (*)(int*, int)>(dlsym(lib, "cuDeviceGet"));
        auto ctxCreate = reinterpret_cast<int (*)(void**, unsigned, int)>(dlsym(lib, "cuCtxCreate_v2"));
        ctxDestroy = reinterpret_cast<int (*)(void*)>(dlsym(lib, "cuCtxDestroy_v2"));
        int device = 0;
        return init && deviceGet && ctxCreate && ctxDestroy && init(0) == 0 && deviceGet(&device, 0) == 0 &&
               ctxCreate(&ctx, 0, device) == 0;
    }
    ~OwnContext() {
        if (ctx && ctxDestroy) ctxDestroy(ctx);
        if (lib) dlclose(lib);
    }
};

#ifdef RUVAR_GPU_CHECK_DECODER
// Decodes the whole fixture with one GPU decoder type; returns the CUDA context of its frames.
void* DecodeOnGpu(const std::string& fixture, const std::vector<std::string>& reference,
                  Video::Native::DecoderTypes type, const char* name,
                  std::vector<std::shared_ptr<IDecodedFrame>>* keep) {
    using namespace Halvora::Video::Native;
    std::cout << "decoder type " << name << std::endl;
    VideoFileInfo info(Common::StringUtility::StringToWstring(fixture));
    info.decoderId = RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    std::vector<std::shared_ptr<DecoderParameter>> params{
        std::make_shared<ImageFormatsParameter>(std::vector<DecodedImageFormat>{Cuda}),
        std::make_shared<CuvidDecoderParameter>(static_cast<int>(type), 0)};
    std::unique_ptr<IFrameDecoder> decoder(RuvarEduzid::DecoderUtils::CreateDecoder(info, &params));
    size_t frames = 0, onGpu = 0, matching = 0;
    void* context = nullptr;
    for (int guard = 0; guard < 10000; ++guard) {
        auto frame = decoder->GetNextFrame();
        if (!frame || frame->GetDecoderState() != Ok) break;
        if (frame->Format() == Cuda) {
            ++onGpu;
            void* c = nullptr;
            frame->GetParam(0, &c, sizeof(c));
            if (c) context = c;
            frame->MoveToRam();
        }
        if (frame->Format() == Yuv420P && frames < reference.size() && PictureMd5(*frame) == reference[frames])
            ++matching;
        if (keep && keep->size() < 50) keep->push_back(frame);
        ++frames;
    }
    Check(frames == reference.size(), std::string(name) + ": " + std::to_string(frames) + " frames decoded, " +
                                          std::to_string(reference.size()) + " expected");
    Check(onGpu == frames && frames > 0, std::string(name) + ": every frame arrived in GPU memory (" +
                                             std::to_string(onGpu) + ")");
    Check(context != nullptr, std::string(name) + ": GetParam(0) gave the CUDA context");
    Check(matching == reference.size(), std::string(name) + ": pixels after MoveToRam match framemd5 (" +
                                            std::to_string(matching) + "/" + std::to_string(reference.size()) + ")");
    return context;
}
#endif

std::shared_ptr<IDecodedFrame> SyntheticFrame(int w, int h, int n) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 64);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(x + y + 4 * n);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < (h + 1) / 2; ++y)
            for (int x = 0; x < (w + 1) / 2; ++x)
                f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(128 + (p == 1 ? x : y) / 4);
    auto frame = std::make_shared<RuvarEduzid::DecodedAvFrame>(0, f);
    av_frame_free(&f);
    return frame;
}

// The calling thread's current CUDA context (null when none, or when the driver cannot be asked).
void* CurrentCudaContext() {
    void* lib = dlopen("libcuda.so.1", RTLD_NOW);
    if (!lib) return nullptr;
    auto get = reinterpret_cast<int (*)(void**)>(dlsym(lib, "cuCtxGetCurrent"));
    void* ctx = nullptr;
    if (!get || get(&ctx) != 0) ctx = nullptr;
    dlclose(lib);
    return ctx;
}

bool WriteFile(const std::string& path, const IO::MemoryOutputStream& s) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(s.GetBuffer()), static_cast<std::streamsize>(s.GetSize()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: " << argv[0] << " FIXTURE.mp4 REFERENCE.framemd5 OUTDIR\n";
        return 1;
    }
    const std::string fixture = argv[1], outDir = argv[3];
    const auto reference = ReadFrameMd5(argv[2]);
    void* context = nullptr;
    std::vector<std::shared_ptr<IDecodedFrame>> decoded;
    try {
#ifdef RUVAR_GPU_CHECK_DECODER
        context = DecodeOnGpu(fixture, reference, Video::Native::DecoderTypes::Cuvid, "CUVID", nullptr);
        void* c2 = DecodeOnGpu(fixture, reference, Video::Native::DecoderTypes::Cuda, "CUDA", &decoded);
        if (!context) context = c2;
#else
        std::cout << "decoder checks skipped: this build has no FFMpegDecoder" << std::endl;
#endif
    } catch (const std::exception& e) {
        Check(false, std::string("GPU decoding threw: ") + e.what());
    }

    OwnContext own;
    if (!context) {
        if (!own.Make()) {
            std::cout << "no usable CUDA driver or device: encoder checks cannot run" << std::endl;
            return g_failures ? 1 : 2;
        }
        context = own.ctx;
    }

    size_t encoders = 0;
    try {
        encoders = RuvarEduzid::NvVideoWriter::GetMaxEncoders(context, 8);
    } catch (const std::exception& e) {
        std::cout << "THIS GPU HAS NO NVENC ENCODER (" << e.what() << "): encoder checks skipped" << std::endl;
        return g_failures ? 1 : 0;
    }
    std::cout << "encoder sessions accepted: " << encoders << std::endl;
    Check(encoders >= 1, "GetMaxEncoders counts at least one session");

    try {
        RuvarEduzid::NvVideoWriter writer(context, 640, 360, 28, 2000000);
        std::cout << "slots: " << writer.BufferCount() << ", asynchronous: " << writer.AsyncMode() << std::endl;
        struct Clip {
            int w, h, frames;
            const char* file;
        } clips[] = {{640, 360, 50, "clip1"}, {320, 240, 30, "clip2"}, {480, 272, 40, "clip3"}};
        auto encode = [&](const Clip& c) {
            auto raw = std::make_shared<IO::MemoryOutputStream>();
            writer.StartClip(*raw, static_cast<unsigned>(c.w), static_cast<unsigned>(c.h), 2500, 2000000);
            for (int i = 0; i < c.frames; ++i) {
                bool useDecoded = c.w == 640 && i < static_cast<int>(decoded.size()) && decoded[i]->Width() == 640;
                writer.WriteFrame(useDecoded ? decoded[i] : SyntheticFrame(c.w, c.h, i));
            }
            Check(writer.StopClip(), std::string(c.file) + ": StopClip");
            const uint8_t* b = raw->GetBuffer();
            bool annexB = raw->GetSize() > 5 && b[0] == 0 && b[1] == 0 &&
                          ((b[2] == 1 && (b[3] & 0x1f) == 7) || (b[2] == 0 && b[3] == 1 && (b[4] & 0x1f) == 7));
            Check(annexB, std::string(c.file) + ": raw stream starts with a start code and an SPS (" +
                              std::to_string(raw->GetSize()) + " bytes)");
            WriteFile(outDir + "/" + c.file + ".h264", *raw);
            auto mp4 = std::make_shared<IO::MemoryOutputStream>();
            RuvarEduzid::ConvertH264_MP4(raw, mp4, 25.0f, cv::Size(c.w, c.h));
            Check(mp4->GetSize() > 0 && WriteFile(outDir + "/" + c.file + ".mp4", *mp4),
                  std::string(c.file) + ": ConvertH264_MP4 wrote " + std::to_string(mp4->GetSize()) + " bytes");
        };
        encode(clips[0]);
        encode(clips[1]);
        // The writer was made on this thread; the third clip is fed from one where no context is current.
        std::thread feeder([&] {
            try {
                Check(CurrentCudaContext() == nullptr, "clip3: the feeding thread starts without a current CUDA context");
                encode(clips[2]);
                Check(CurrentCudaContext() == nullptr, "clip3: the feeding thread has no current CUDA context afterwards");
            } catch (const std::exception& e) {
                Check(false, std::string("clip3: encoding on a second thread threw: ") + e.what());
            }
        });
        feeder.join();
        writer.Dispose();
    } catch (const std::exception& e) {
        Check(false, std::string("encoding threw: ") + e.what());
    }
    return g_failures ? 1 : 0;
}
