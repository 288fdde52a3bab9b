#pragma once

// Stand-ins for the NVIDIA driver libraries (libcuda.so.1, libnvidia-encode.so.1). Both record
// into one shared state held by libnvstubstate.so, which the tests link and steer: statuses,
// capabilities, session limits and the bytes each picture "encodes" to.
//
// Like the real driver they refuse what a real driver refuses: CUDA work on a thread where no
// context is current (CUDA contexts are current per thread), NVENC calls on a thread where the
// session's context is not current, unmapping an input before its output was locked, and a picture
// of another size than the session was last configured for.

#include <ffnvcodec/dynlink_cuda.h>
#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#define NVSTUB_API __attribute__((visibility("default")))

namespace NvStub {

// A chosen failure: `status` returned by every call of `name` (onCall 0) or only by its onCall-th call.
struct Fault {
    int status = 0;
    int onCall = 0;
};

struct Bitstream {
    std::string data;
    bool filled = false;
    bool locked = false;
    void* input = nullptr;  // mapped input of the picture encoded into it, until its lock is asked for
};

struct State {
    std::map<std::string, int> callCounts;
    std::map<std::string, Fault> faults;

    // Behaviour.
    int maxSessions = 3;
    std::vector<GUID> codecGuids;
    std::map<int, int> caps;              // NV_ENC_CAPS -> value (absent: 0)
    bool signalEosEvent = true;           // asynchronous mode: the end-of-stream event
    std::vector<std::string> payloads;    // bytes of picture i (by submission order); default made up
    NV_ENC_CONFIG presetConfig;           // what nvEncGetEncodePresetConfig hands out

    // Live resources.
    std::set<void*> sessions;
    std::map<void*, void*> sessionContexts;                       // session -> its CUDA context
    std::map<void*, std::pair<uint32_t, uint32_t>> sessionSizes;  // session -> picture size in force
    std::map<CUdeviceptr, size_t> deviceAllocations;
    std::set<void*> hostAllocations;
    std::set<void*> cuEvents;
    std::set<void*> cuStreams;
    std::map<void*, Bitstream> bitstreams;
    std::map<void*, NV_ENC_REGISTER_RESOURCE> registered;
    std::map<void*, void*> mapped;  // mapped input -> registration
    std::set<void*> asyncEvents;
    bool boundsViolation = false;

    // What the library handed over.
    std::vector<NV_ENC_RECONFIGURE_PARAMS> reconfigures;
    std::vector<NV_ENC_CONFIG> reconfigureConfigs;
    std::vector<NV_ENC_PIC_PARAMS> pictures;  // every nvEncEncodePicture, end of stream included
    std::vector<std::string> submittedNv12;   // the device picture of each submitted picture, rows packed
    int submitted = 0;

    size_t Live() const {
        return sessions.size() + deviceAllocations.size() + hostAllocations.size() + cuEvents.size() + cuStreams.size() +
               bitstreams.size() + registered.size() + mapped.size() + asyncEvents.size();
    }
    int Count(const std::string& name) const {
        auto it = callCounts.find(name);
        return it == callCounts.end() ? 0 : it->second;
    }
};

NVSTUB_API State& Get();
// Back to the defaults; live resources are forgotten too (the library must have released them).
NVSTUB_API void Reset();
// Counts the call; returns the chosen failure status for it, 0 when it should run.
NVSTUB_API int Enter(const char* name);
// The calling thread's stack of current CUDA contexts (top = current); Reset empties the caller's.
NVSTUB_API std::vector<void*>& ContextStack();
NVSTUB_API void* CurrentContext();
// The default bytes of picture `index`.
NVSTUB_API std::string DefaultPayload(int index, uint32_t flags);
// Signals an event handle the way the library's completion events expect (eventfd).
NVSTUB_API void SignalHandle(void* handle);

}  // namespace NvStub
