#pragma once

// Where the host obtains HLS writers.

#include "Common/ManagedObject.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/IHlsWriter.h"

#include <memory>

namespace Halvora {
namespace Video {
namespace Native {
class IDecodedFrame;
}
}  // namespace Video

namespace RuvarEduzid {

class RUVAREDUZID_API VideoWriterFactory {
public:
    // A MultiStreamHlsWriter, even for a single rendition. Throws CodeErrorException
    // "Stream list is empty!" when no rendition is configured.
    static std::shared_ptr<IHlsWriter> CreateHlsWriter(const HlsWriterParams& params);
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// CreateHlsWriter(*params) inside a new handle; exceptions reach the caller.
RUVAREDUZID_C_API Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::IHlsWriter>* VideoWriterFactory_CreateHlsWriter(
    Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::HlsWriterParams>* params);
// Adopts `frame` (the library deletes it when done with it) and writes it.
RUVAREDUZID_C_API void IHlsExporter_WriteFrame(Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::IHlsWriter>* writer,
                                               Halvora::Video::Native::IDecodedFrame* frame);
RUVAREDUZID_C_API bool IHlsExporter_IsMasterFileFlushed(
    Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::IHlsWriter>* writer);
