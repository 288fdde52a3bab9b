#pragma once

#include "RuvarEduzid/IVideoWriter.h"
#include "RuvarEduzid/Export.h"

namespace Halvora {
namespace RuvarEduzid {

// Feeds frames into an HLS presentation.
class RUVAREDUZID_API IHlsWriter : public IVideoWriter {
public:
    IHlsWriter() = default;
    IHlsWriter(const IHlsWriter&) = default;
    IHlsWriter& operator=(const IHlsWriter&) = default;
    IHlsWriter(IHlsWriter&&) = default;
    IHlsWriter& operator=(IHlsWriter&&) = default;

    // Slot 3: true once the top-level playlist is complete on disk.
    virtual bool IsMasterFileFlushed() const = 0;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
