// How far behind the feeder the frames of a live memory buffer come out, fed on the decoding
// thread as hosts feed it: append a piece, take frames until NotAvailable, append the next piece.
//
//   LiveBufferLatencyBench FILE [PIECE_BYTES [OPENING_BYTES]]
//
// FILE is MPEG-TS or raw H.264 without B-frames, so that frames come out in the order of their
// packets. For each frame whose bytes end after the opening bytes: "behind" = the pieces appended
// when it came out minus the piece that carried its last byte. "demuxer" = the same for the
// earliest moment FFmpeg's demuxer can hand out the packet at all (a raw H.264 parser needs the
// first bytes of the next frame; MPEG-TS needs the next frame's PES whole, up to the start of the
// one after it). The difference is what the reserve kept ahead of the demuxer adds. Prints one
// line: format, frames, pieces behind (min / median / 90th percentile / max), the demuxer's share
// (median), and the median in milliseconds when the stream arrives in real time.
#include "RuvarEduzid/FFMpegDecoder.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Layout {
    std::string format;
    // Per video packet in decode order: where its bytes end, and where the demuxer can hand it out.
    std::vector<uint64_t> end, earliest;
    double seconds = 0;
};

// Reads FILE with FFmpeg to find where each video packet's bytes lie.
bool Measure(const char* path, const std::string& bytes, Layout* layout) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path, nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(input, nullptr) < 0) return false;
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) return false;
    layout->format = input->iformat->name;
    const int pid = input->streams[video]->id;
    std::vector<uint64_t> starts, sizes;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == video) {
            starts.push_back(static_cast<uint64_t>(packet->pos));
            sizes.push_back(static_cast<uint64_t>(packet->size));
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    const AVRational rate = input->streams[video]->avg_frame_rate;
    layout->seconds = rate.num > 0 ? starts.size() * av_q2d(av_inv_q(rate)) : starts.size() / 25.0;
    avformat_close_input(&input);
    const size_t n = starts.size();
    if (layout->format == "mpegts") {
        // A PES ends with the last transport packet of its PID before the next PES starts.
        std::vector<uint64_t> last(n, 0);
        size_t pes = 0;
        for (uint64_t at = 0; at + 188 <= bytes.size(); at += 188) {
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
            if (b[0] != 0x47 || (((b[1] & 0x1f) << 8) | b[2]) != pid) continue;
            while (pes + 1 < n && at >= starts[pes + 1]) ++pes;
            last[pes] = at + 188;
        }
        for (size_t k = 0; k < n; ++k) {
            layout->end.push_back(last[k]);
            layout->earliest.push_back(k + 2 < n ? starts[k + 2] + 188 : bytes.size());
        }
    } else {
        // The parser knows a frame has ended at the header of the next one's first unit.
        for (size_t k = 0; k < n; ++k) {
            layout->end.push_back(starts[k] + sizes[k]);
            layout->earliest.push_back(k + 1 < n ? starts[k + 1] + 6 : bytes.size());
        }
    }
    return n > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: LiveBufferLatencyBench FILE [PIECE_BYTES [OPENING_BYTES]]\n");
        return 2;
    }
    const size_t piece = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1316;
    const size_t opening = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64 * 1024;
    std::ifstream in(argv[1], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Layout layout;
    if (piece == 0 || bytes.size() <= opening || !Measure(argv[1], bytes, &layout)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    auto* data = reinterpret_cast<unsigned char*>(&bytes[0]);

    using namespace Halvora::Video::Native;
    Halvora::RuvarEduzid::FFMpegDecoder decoder;
    if (!decoder.Initialize(data, 1 << 20, opening, true, nullptr)) return 1;
    // Pieces appended when each frame came out.
    std::vector<size_t> outAt;
    size_t pieces = 0;
    for (size_t at = opening; at < bytes.size(); at += piece) {
        decoder.AppendChunkToBuffer(data + at, std::min(piece, bytes.size() - at));
        ++pieces;
        for (;;) {
            auto frame = decoder.GetNextFrame();
            if (frame->GetDecoderState() != Ok) break;
            outAt.push_back(pieces);
        }
    }
    // Pieces after the opening that hold the bytes up to `offset`.
    auto piecesTo = [&](uint64_t offset) { return offset <= opening ? 0 : (offset - opening + piece - 1) / piece; };
    std::vector<long> behind, demuxer;
    for (size_t k = 0; k < outAt.size() && k < layout.end.size(); ++k) {
        if (layout.end[k] <= opening) continue;
        behind.push_back(static_cast<long>(outAt[k]) - static_cast<long>(piecesTo(layout.end[k])));
        demuxer.push_back(static_cast<long>(piecesTo(layout.earliest[k])) - static_cast<long>(piecesTo(layout.end[k])));
    }
    if (behind.empty()) return 1;
    auto at = [](std::vector<long> v, double q) {
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(q * (v.size() - 1))];
    };
    const double msPerPiece = 1000.0 * piece * layout.seconds / bytes.size();
    std::printf("%s: %zu frames, pieces behind min %ld median %ld p90 %ld max %ld; demuxer's own median %ld; "
                "median %.0f ms at the stream's rate (%.0f kbit/s, %zu-byte pieces)\n",
                layout.format.c_str(), behind.size(), at(behind, 0), at(behind, 0.5), at(behind, 0.9), at(behind, 1),
                at(demuxer, 0.5), at(behind, 0.5) * msPerPiece, bytes.size() * 8 / layout.seconds / 1000, piece);
    return 0;
}
