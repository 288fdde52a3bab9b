#include "RuvarEduzid/VideoWriterFactory.h"

#include "Common/Exception.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/Native/Interfaces.h"

namespace Halvora {
namespace RuvarEduzid {

std::shared_ptr<IHlsWriter> VideoWriterFactory::CreateHlsWriter(const HlsWriterParams& params) {
    if (params.streams.empty()) HALVORA_THROW("Stream list is empty!");
    return std::make_shared<MultiStreamHlsWriter>(params);
}

}  // namespace RuvarEduzid
}  // namespace Halvora

using Halvora::Common::ManagedSPtr;
using Halvora::RuvarEduzid::HlsWriterParams;
using Halvora::RuvarEduzid::IHlsWriter;
using Halvora::Video::Native::IDecodedFrame;

ManagedSPtr<IHlsWriter>* VideoWriterFactory_CreateHlsWriter(ManagedSPtr<HlsWriterParams>* params) {
    if (!params) HALVORA_THROW("VideoWriterFactory_CreateHlsWriter called without parameters");
    return new ManagedSPtr<IHlsWriter>(Halvora::RuvarEduzid::VideoWriterFactory::CreateHlsWriter(**params));
}

void IHlsExporter_WriteFrame(ManagedSPtr<IHlsWriter>* writer, IDecodedFrame* frame) {
    // Adopted first, so the frame is freed even when the call fails.
    std::shared_ptr<IDecodedFrame> adopted(frame);
    if (!writer) HALVORA_THROW("IHlsExporter_WriteFrame called without a writer");
    std::shared_ptr<IHlsWriter> keep = writer->Get();
    keep->WriteFrame(std::move(adopted));
}

bool IHlsExporter_IsMasterFileFlushed(ManagedSPtr<IHlsWriter>* writer) {
    if (!writer) HALVORA_THROW("IHlsExporter_IsMasterFileFlushed called without a writer");
    return (*writer)->IsMasterFileFlushed();
}
