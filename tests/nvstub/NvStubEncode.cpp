// Stand-in libnvidia-encode.so.1: sessions, bitstream buffers, registrations and mappings are
// tokens checked on every use; "encoding" a picture copies its device picture aside and fills the
// output buffer with the chosen (or made-up) bytes. Completion events (eventfd handles) are
// signalled at once unless a test withholds them. What the real driver refuses is refused: a call
// on a session whose CUDA context is not current on the calling thread, unmapping an input before
// the lock of its output, a picture of another size than the session was configured for.
#include "NvStub.h"

#include <cstring>

using NvStub::Enter;
using NvStub::Get;

namespace {
void* Token() { return new int(0); }
bool Session(void* encoder) { return Get().sessions.count(encoder) != 0; }
#define NVSTUB_ENTER(name) \
    if (int s_ = Enter(name)) return static_cast<NVENCSTATUS>(s_)
// The session exists and its CUDA context is current on the calling thread.
NVENCSTATUS SessionStatus(void* encoder) {
    auto& s = Get();
    if (!Session(encoder)) return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (NvStub::CurrentContext() != s.sessionContexts[encoder]) return NV_ENC_ERR_INVALID_DEVICE;
    return NV_ENC_SUCCESS;
}
// Counts the call, returns its chosen failure, then the real driver's refusal of a session that does
// not exist or whose context is not current.
#define NVSTUB_CALL(name, encoder) \
    NVSTUB_ENTER(name);            \
    if (NVENCSTATUS st_ = SessionStatus(encoder)) return st_

NVENCSTATUS OpenSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* p, void** encoder) {
    NVSTUB_ENTER("nvEncOpenEncodeSessionEx");
    auto& s = Get();
    if (p->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER || p->apiVersion != NVENCAPI_VERSION)
        return NV_ENC_ERR_INVALID_VERSION;
    if (static_cast<int>(s.sessions.size()) >= s.maxSessions) return NV_ENC_ERR_OUT_OF_MEMORY;
    *encoder = Token();
    s.sessions.insert(*encoder);
    s.sessionContexts[*encoder] = p->device;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS DestroyEncoder(void* encoder) {
    NVSTUB_ENTER("nvEncDestroyEncoder");
    if (!Session(encoder)) return NV_ENC_ERR_INVALID_PTR;
    if (NVENCSTATUS st = SessionStatus(encoder)) return st;
    Get().sessions.erase(encoder);
    Get().sessionContexts.erase(encoder);
    Get().sessionSizes.erase(encoder);
    delete static_cast<int*>(encoder);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS GetEncodeGUIDCount(void* encoder, uint32_t* count) {
    NVSTUB_CALL("nvEncGetEncodeGUIDCount", encoder);
    *count = static_cast<uint32_t>(Get().codecGuids.size());
    return NV_ENC_SUCCESS;
}

NVENCSTATUS GetEncodeGUIDs(void* encoder, GUID* guids, uint32_t size, uint32_t* count) {
    NVSTUB_CALL("nvEncGetEncodeGUIDs", encoder);
    auto& g = Get().codecGuids;
    uint32_t n = 0;
    for (; n < size && n < g.size(); ++n) guids[n] = g[n];
    *count = n;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS GetEncodeCaps(void* encoder, GUID, NV_ENC_CAPS_PARAM* caps, int* value) {
    NVSTUB_CALL("nvEncGetEncodeCaps", encoder);
    if (caps->version != NV_ENC_CAPS_PARAM_VER) return NV_ENC_ERR_INVALID_VERSION;
    auto& s = Get();
    auto it = s.caps.find(caps->capsToQuery);
    *value = it == s.caps.end() ? 0 : it->second;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS GetEncodePresetConfig(void* encoder, GUID, GUID, NV_ENC_PRESET_CONFIG* preset) {
    NVSTUB_CALL("nvEncGetEncodePresetConfig", encoder);
    if (preset->version != NV_ENC_PRESET_CONFIG_VER || preset->presetCfg.version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    preset->presetCfg = Get().presetConfig;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS InitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* p) {
    NVSTUB_CALL("nvEncInitializeEncoder", encoder);
    auto& s = Get();
    if (p->version != NV_ENC_INITIALIZE_PARAMS_VER || !p->encodeConfig || p->encodeConfig->version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    s.sessionSizes[encoder] = {p->encodeWidth, p->encodeHeight};
    return NV_ENC_SUCCESS;
}

NVENCSTATUS ReconfigureEncoder(void* encoder, NV_ENC_RECONFIGURE_PARAMS* p) {
    NVSTUB_CALL("nvEncReconfigureEncoder", encoder);
    auto& s = Get();
    s.reconfigures.push_back(*p);
    s.reconfigureConfigs.push_back(p->reInitEncodeParams.encodeConfig ? *p->reInitEncodeParams.encodeConfig
                                                                      : NV_ENC_CONFIG{});
    if (p->version != NV_ENC_RECONFIGURE_PARAMS_VER) return NV_ENC_ERR_INVALID_VERSION;
    s.sessionSizes[encoder] = {p->reInitEncodeParams.encodeWidth, p->reInitEncodeParams.encodeHeight};
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CreateBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* p) {
    NVSTUB_CALL("nvEncCreateBitstreamBuffer", encoder);
    if (p->version != NV_ENC_CREATE_BITSTREAM_BUFFER_VER) return NV_ENC_ERR_INVALID_VERSION;
    p->bitstreamBuffer = Token();
    Get().bitstreams[p->bitstreamBuffer] = NvStub::Bitstream();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS DestroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    NVSTUB_CALL("nvEncDestroyBitstreamBuffer", encoder);
    if (!Get().bitstreams.erase(buffer)) return NV_ENC_ERR_INVALID_PTR;
    delete static_cast<int*>(buffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS RegisterResource(void* encoder, NV_ENC_REGISTER_RESOURCE* p) {
    NVSTUB_CALL("nvEncRegisterResource", encoder);
    if (p->version != NV_ENC_REGISTER_RESOURCE_VER) return NV_ENC_ERR_INVALID_VERSION;
    auto& s = Get();
    p->registeredResource = Token();
    s.registered[p->registeredResource] = *p;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS UnregisterResource(void* encoder, NV_ENC_REGISTERED_PTR r) {
    NVSTUB_CALL("nvEncUnregisterResource", encoder);
    if (!Get().registered.erase(r)) return NV_ENC_ERR_INVALID_PTR;
    delete static_cast<int*>(r);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS MapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* p) {
    NVSTUB_CALL("nvEncMapInputResource", encoder);
    if (p->version != NV_ENC_MAP_INPUT_RESOURCE_VER) return NV_ENC_ERR_INVALID_VERSION;
    if (!Get().registered.count(p->registeredResource)) return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    p->mappedResource = Token();
    p->mappedBufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
    Get().mapped[p->mappedResource] = p->registeredResource;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS UnmapInputResource(void* encoder, NV_ENC_INPUT_PTR m) {
    NVSTUB_CALL("nvEncUnmapInputResource", encoder);
    // The encoder reads the input until the picture is done: its output must be locked first.
    for (const auto& b : Get().bitstreams) {
        if (m && b.second.input == m) return NV_ENC_ERR_INVALID_CALL;
    }
    if (!Get().mapped.erase(m)) return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    delete static_cast<int*>(m);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS RegisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* p) {
    NVSTUB_CALL("nvEncRegisterAsyncEvent", encoder);
    if (p->version != NV_ENC_EVENT_PARAMS_VER || !p->completionEvent) return NV_ENC_ERR_INVALID_PARAM;
    Get().asyncEvents.insert(p->completionEvent);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS UnregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* p) {
    NVSTUB_CALL("nvEncUnregisterAsyncEvent", encoder);
    if (!Get().asyncEvents.erase(p->completionEvent)) return NV_ENC_ERR_INVALID_PARAM;
    return NV_ENC_SUCCESS;
}

// The picture behind a mapped input, NV12 rows packed: luma then interleaved chroma.
std::string DevicePicture(void* mappedInput, uint32_t width, uint32_t height) {
    auto& s = Get();
    const NV_ENC_REGISTER_RESOURCE& r = s.registered[s.mapped[mappedInput]];
    const auto* base = static_cast<const unsigned char*>(r.resourceToRegister);
    std::string out;
    for (uint32_t y = 0; y < height; ++y) out.append(reinterpret_cast<const char*>(base + y * r.pitch), width);
    const unsigned char* chroma = base + static_cast<size_t>(r.pitch) * r.height;
    uint32_t chromaBytes = width + (width & 1u);
    for (uint32_t y = 0; y < (height + 1) / 2; ++y)
        out.append(reinterpret_cast<const char*>(chroma + y * r.pitch), chromaBytes);
    return out;
}

NVENCSTATUS EncodePicture(void* encoder, NV_ENC_PIC_PARAMS* p) {
    auto& s = Get();
    if (p->encodePicFlags & NV_ENC_PIC_FLAG_EOS) {
        NVSTUB_CALL("nvEncEncodePicture/EOS", encoder);
        s.pictures.push_back(*p);
        if (p->completionEvent && s.signalEosEvent) NvStub::SignalHandle(p->completionEvent);
        return NV_ENC_SUCCESS;
    }
    NVSTUB_CALL("nvEncEncodePicture", encoder);
    s.pictures.push_back(*p);
    if (p->version != NV_ENC_PIC_PARAMS_VER) return NV_ENC_ERR_INVALID_VERSION;
    if (!s.mapped.count(p->inputBuffer)) return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    auto it = s.bitstreams.find(p->outputBitstream);
    if (it == s.bitstreams.end() || it->second.locked) return NV_ENC_ERR_INVALID_PTR;
    if (s.sessionSizes[encoder] != std::make_pair(p->inputWidth, p->inputHeight)) return NV_ENC_ERR_INVALID_PARAM;
    s.submittedNv12.push_back(DevicePicture(p->inputBuffer, p->inputWidth, p->inputHeight));
    int index = s.submitted++;
    it->second.data = index < static_cast<int>(s.payloads.size()) ? s.payloads[index]
                                                                   : NvStub::DefaultPayload(index, p->encodePicFlags);
    it->second.filled = true;
    it->second.input = p->inputBuffer;
    if (p->completionEvent) NvStub::SignalHandle(p->completionEvent);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS LockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* p) {
    int fault = Enter("nvEncLockBitstream");
    if (NVENCSTATUS st = SessionStatus(encoder)) return st;
    // From the lock on (even one that fails) the client is done with the picture's input.
    auto done = Get().bitstreams.find(p->outputBitstream);
    if (done != Get().bitstreams.end()) done->second.input = nullptr;
    if (fault) return static_cast<NVENCSTATUS>(fault);
    if (p->version != NV_ENC_LOCK_BITSTREAM_VER) return NV_ENC_ERR_INVALID_VERSION;
    auto it = Get().bitstreams.find(p->outputBitstream);
    if (it == Get().bitstreams.end() || it->second.locked || !it->second.filled) return NV_ENC_ERR_INVALID_PTR;
    it->second.locked = true;
    p->bitstreamBufferPtr = it->second.data.empty() ? nullptr : &it->second.data[0];
    p->bitstreamSizeInBytes = static_cast<uint32_t>(it->second.data.size());
    return NV_ENC_SUCCESS;
}

NVENCSTATUS UnlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    NVSTUB_CALL("nvEncUnlockBitstream", encoder);
    auto it = Get().bitstreams.find(buffer);
    if (it == Get().bitstreams.end() || !it->second.locked) return NV_ENC_ERR_INVALID_PTR;
    it->second.locked = false;
    it->second.filled = false;
    return NV_ENC_SUCCESS;
}

}  // namespace

extern "C" NVSTUB_API NVENCSTATUS NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    NVSTUB_ENTER("NvEncodeAPICreateInstance");
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER) return NV_ENC_ERR_INVALID_VERSION;
    list->nvEncOpenEncodeSessionEx = OpenSessionEx;
    list->nvEncDestroyEncoder = DestroyEncoder;
    list->nvEncGetEncodeGUIDCount = GetEncodeGUIDCount;
    list->nvEncGetEncodeGUIDs = GetEncodeGUIDs;
    list->nvEncGetEncodeCaps = GetEncodeCaps;
    list->nvEncGetEncodePresetConfig = GetEncodePresetConfig;
    list->nvEncInitializeEncoder = InitializeEncoder;
    list->nvEncReconfigureEncoder = ReconfigureEncoder;
    list->nvEncCreateBitstreamBuffer = CreateBitstreamBuffer;
    list->nvEncDestroyBitstreamBuffer = DestroyBitstreamBuffer;
    list->nvEncRegisterResource = RegisterResource;
    list->nvEncUnregisterResource = UnregisterResource;
    list->nvEncMapInputResource = MapInputResource;
    list->nvEncUnmapInputResource = UnmapInputResource;
    list->nvEncRegisterAsyncEvent = RegisterAsyncEvent;
    list->nvEncUnregisterAsyncEvent = UnregisterAsyncEvent;
    list->nvEncEncodePicture = EncodePicture;
    list->nvEncLockBitstream = LockBitstream;
    list->nvEncUnlockBitstream = UnlockBitstream;
    return NV_ENC_SUCCESS;
}
