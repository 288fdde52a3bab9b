#include "NvStub.h"

#include <cstring>
#include <unistd.h>

namespace NvStub {

namespace {
State* g_state = nullptr;
thread_local std::vector<void*> t_contexts;

void Defaults(State& s) {
    s.codecGuids = {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID};
    std::memset(&s.presetConfig, 0, sizeof(s.presetConfig));
    s.presetConfig.version = NV_ENC_CONFIG_VER;
    // Recognisable preset values: some survive (profile), some the library must overwrite (gop).
    s.presetConfig.gopLength = 30;
    s.presetConfig.frameIntervalP = 3;
    s.presetConfig.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    s.presetConfig.rcParams.enableAQ = 1;
    s.presetConfig.encodeCodecConfig.h264Config.level = 51;
    s.presetConfig.encodeCodecConfig.h264Config.idrPeriod = 30;
}
}  // namespace

State& Get() {
    if (!g_state) {
        static State state;
        Defaults(state);
        g_state = &state;
    }
    return *g_state;
}

void Reset() {
    State& s = Get();
    for (auto& a : s.deviceAllocations) free(reinterpret_cast<void*>(a.first));
    for (void* h : s.hostAllocations) free(h);
    for (const auto& tokens : {s.cuEvents, s.cuStreams, s.sessions})
        for (void* t : tokens) delete static_cast<int*>(t);
    for (auto& r : s.registered) delete static_cast<int*>(r.first);
    for (auto& m : s.mapped) delete static_cast<int*>(m.first);
    for (auto& b : s.bitstreams) delete static_cast<int*>(b.first);
    s = State();
    Defaults(s);
    t_contexts.clear();
}

std::vector<void*>& ContextStack() { return t_contexts; }
void* CurrentContext() { return t_contexts.empty() ? nullptr : t_contexts.back(); }

int Enter(const char* name) {
    State& s = Get();
    int count = ++s.callCounts[name];
    auto it = s.faults.find(name);
    if (it != s.faults.end() && (it->second.onCall == 0 || it->second.onCall == count)) {
        return it->second.status;
    }
    return 0;
}

std::string DefaultPayload(int index, uint32_t flags) {
    std::string out("\x00\x00\x00\x01", 4);
    out += "pic" + std::to_string(index);
    if (flags & NV_ENC_PIC_FLAG_FORCEIDR) out += ":idr";
    if (flags & NV_ENC_PIC_FLAG_OUTPUT_SPSPPS) out += ":spspps";
    return out;
}

void SignalHandle(void* handle) {
    uint64_t one = 1;
    ssize_t n = write(static_cast<int>(reinterpret_cast<intptr_t>(handle)), &one, sizeof(one));
    (void)n;
}

}  // namespace NvStub
