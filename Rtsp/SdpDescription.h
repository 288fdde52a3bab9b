#pragma once

#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// The session description of a DESCRIBE reply: session-level lines and one section per m= line.
class SdpDescription {
public:
    struct Media {
        std::string type;     // "video", "audio", ...
        std::string control;  // a=control value, may be empty
        std::vector<std::string> lines;  // starting with its m= line
    };

    // Returns an empty string on success, otherwise what is wrong. Lines that are not "x=value"
    // are skipped; at most 4096 lines and 256 media are taken.
    std::string Parse(const std::string& text);

    const std::vector<Media>& MediaList() const { return m_media; }
    const std::string& SessionControl() const { return m_sessionControl; }
    // Index of the first media of that type, -1 when none.
    int FindMedia(const std::string& type) const;
    // The first payload type of media `index`'s m= line (-1 when none) and the encoding name of
    // the media's first "a=rtpmap" line ("H264"; "" when none).
    int PayloadType(int index) const;
    std::string EncodingName(int index) const;
    // A description of the session with only media `index` in it (session lines first; control
    // attributes left out, a connection line added when the description has none).
    std::string SingleMediaSdp(int index) const;

private:
    std::vector<std::string> m_sessionLines;
    std::string m_sessionControl;
    std::vector<Media> m_media;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
