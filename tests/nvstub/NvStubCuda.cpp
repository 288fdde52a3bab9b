// Stand-in libcuda.so.1: device memory is host memory, copies run at once, streams and events are
// tokens. Every call is recorded; a chosen fault makes it fail. Contexts are current per thread, as
// in the real driver: memory, stream, event and copy calls on a thread without a current context
// fail with CUDA_ERROR_INVALID_CONTEXT (201). Built a second time without
// cuMemAllocHost_v2 (NVSTUB_PARTIAL) to play a driver that lacks an entry point.
#include "NvStub.h"

#include <cstdlib>
#include <cstring>

using NvStub::Enter;
using NvStub::Get;

namespace {

// The allocation holding [address, address + size), or none.
bool InDevice(CUdeviceptr address, size_t size) {
    auto& m = Get().deviceAllocations;
    auto it = m.upper_bound(address);
    if (it == m.begin()) return false;
    --it;
    return address >= it->first && address + size <= it->first + it->second;
}
}  // namespace

// The calling thread has no current context: the real driver refuses the call.
#define NVSTUB_NEEDS_CONTEXT()                                                        \
    do {                                                                              \
        if (!NvStub::CurrentContext()) return static_cast<CUresult>(201) /* invalid context */; \
    } while (0)

extern "C" {

NVSTUB_API CUresult cuMemAllocPitch_v2(CUdeviceptr* dptr, size_t* pitch, size_t widthInBytes, size_t height,
                                       unsigned int /*elementSize*/) {
    if (int s = Enter("cuMemAllocPitch_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    size_t a = Get().pitchAlignment;
    size_t p = (widthInBytes + a - 1) / a * a;
    void* mem = calloc(1, p * height + 1);
    *dptr = static_cast<CUdeviceptr>(reinterpret_cast<uintptr_t>(mem));
    *pitch = p;
    Get().deviceAllocations[*dptr] = p * height;
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuMemFree_v2(CUdeviceptr dptr) {
    if (int s = Enter("cuMemFree_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    auto& m = Get().deviceAllocations;
    auto it = m.find(dptr);
    if (it == m.end()) return static_cast<CUresult>(1) /* invalid value */;
    free(reinterpret_cast<void*>(dptr));
    m.erase(it);
    return CUDA_SUCCESS;
}

#ifndef NVSTUB_PARTIAL
NVSTUB_API CUresult cuMemAllocHost_v2(void** pp, size_t bytesize) {
    if (int s = Enter("cuMemAllocHost_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    *pp = calloc(1, bytesize);
    Get().hostAllocations.insert(*pp);
    return CUDA_SUCCESS;
}
#endif

NVSTUB_API CUresult cuMemFreeHost(void* p) {
    if (int s = Enter("cuMemFreeHost")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    if (!Get().hostAllocations.erase(p)) return static_cast<CUresult>(1) /* invalid value */;
    free(p);
    return CUDA_SUCCESS;
}

// cuCtxSetCurrent replaces the top of the calling thread's context stack (null removes it).
NVSTUB_API CUresult cuCtxSetCurrent(CUcontext ctx) {
    if (int s = Enter("cuCtxSetCurrent")) return static_cast<CUresult>(s);
    auto& stack = NvStub::ContextStack();
    if (!stack.empty()) stack.pop_back();
    if (ctx) stack.push_back(ctx);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxGetCurrent(CUcontext* ctx) {
    if (int s = Enter("cuCtxGetCurrent")) return static_cast<CUresult>(s);
    *ctx = static_cast<CUcontext>(NvStub::CurrentContext());
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxPushCurrent_v2(CUcontext ctx) {
    if (int s = Enter("cuCtxPushCurrent_v2")) return static_cast<CUresult>(s);
    if (!ctx) return static_cast<CUresult>(1) /* invalid value */;
    NvStub::ContextStack().push_back(ctx);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxPopCurrent_v2(CUcontext* ctx) {
    if (int s = Enter("cuCtxPopCurrent_v2")) return static_cast<CUresult>(s);
    auto& stack = NvStub::ContextStack();
    if (stack.empty()) return static_cast<CUresult>(201) /* invalid context */;
    if (ctx) *ctx = static_cast<CUcontext>(stack.back());
    stack.pop_back();
    return CUDA_SUCCESS;
}

static CUresult Copy2D(const char* name, const CUDA_MEMCPY2D* c, CUstream stream) {
    if (int s = Enter(name)) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    auto& st = Get();
    if (stream && !st.cuStreams.count(stream)) return static_cast<CUresult>(400) /* invalid handle */;
    if (c->srcMemoryType != CU_MEMORYTYPE_HOST || c->dstMemoryType != CU_MEMORYTYPE_DEVICE) return static_cast<CUresult>(1) /* invalid value */;
    if (c->Height == 0) return CUDA_SUCCESS;
    size_t lastRow = c->dstPitch * (c->Height - 1);
    if (c->WidthInBytes > c->dstPitch || !InDevice(c->dstDevice, lastRow + c->WidthInBytes)) {
        st.boundsViolation = true;
        return static_cast<CUresult>(1) /* invalid value */;
    }
    for (size_t r = 0; r < c->Height; ++r) {
        std::memcpy(reinterpret_cast<unsigned char*>(c->dstDevice) + r * c->dstPitch,
                    static_cast<const unsigned char*>(c->srcHost) + r * c->srcPitch, c->WidthInBytes);
    }
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuMemcpy2D_v2(const CUDA_MEMCPY2D* c) {
    return Copy2D("cuMemcpy2D_v2", c, nullptr);
}

NVSTUB_API CUresult cuMemcpy2DAsync_v2(const CUDA_MEMCPY2D* c, CUstream stream) {
    return Copy2D("cuMemcpy2DAsync_v2", c, stream);
}

NVSTUB_API CUresult cuMemcpyDtoH_v2(void* dst, CUdeviceptr src, size_t n) {
    if (int s = Enter("cuMemcpyDtoH_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    std::memcpy(dst, reinterpret_cast<void*>(src), n);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamCreate(CUstream* stream, unsigned int /*flags*/) {
    if (int s = Enter("cuStreamCreate")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    *stream = reinterpret_cast<CUstream>(new int(0));
    Get().cuStreams.insert(*stream);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamDestroy_v2(CUstream stream) {
    if (int s = Enter("cuStreamDestroy_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    if (!Get().cuStreams.erase(stream)) return static_cast<CUresult>(400) /* invalid handle */;
    delete reinterpret_cast<int*>(stream);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamSynchronize(CUstream /*stream*/) {
    if (int s = Enter("cuStreamSynchronize")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamWaitEvent(CUstream /*stream*/, CUevent event, unsigned int /*flags*/) {
    if (int s = Enter("cuStreamWaitEvent")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    if (!Get().cuEvents.count(event)) return static_cast<CUresult>(400) /* invalid handle */;
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventCreate(CUevent* event, unsigned int /*flags*/) {
    if (int s = Enter("cuEventCreate")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    *event = reinterpret_cast<CUevent>(new int(0));
    Get().cuEvents.insert(*event);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventDestroy_v2(CUevent event) {
    if (int s = Enter("cuEventDestroy_v2")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    if (!Get().cuEvents.erase(event)) return static_cast<CUresult>(400) /* invalid handle */;
    delete reinterpret_cast<int*>(event);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventRecord(CUevent event, CUstream stream) {
    if (int s = Enter("cuEventRecord")) return static_cast<CUresult>(s);
    NVSTUB_NEEDS_CONTEXT();
    if (!Get().cuEvents.count(event) || (stream && !Get().cuStreams.count(stream))) return static_cast<CUresult>(400) /* invalid handle */;
    return CUDA_SUCCESS;
}

}  // extern "C"

// Context set-up, for programs that make their own context (scripts/gpu-check).
extern "C" {
NVSTUB_API CUresult cuInit(unsigned int /*flags*/) {
    return static_cast<CUresult>(Enter("cuInit"));
}
NVSTUB_API CUresult cuDeviceGet(CUdevice* device, int ordinal) {
    if (int s = Enter("cuDeviceGet")) return static_cast<CUresult>(s);
    *device = ordinal;
    return CUDA_SUCCESS;
}
NVSTUB_API CUresult cuCtxCreate_v2(CUcontext* ctx, unsigned int /*flags*/, CUdevice /*device*/) {
    if (int s = Enter("cuCtxCreate_v2")) return static_cast<CUresult>(s);
    *ctx = reinterpret_cast<CUcontext>(new int(0));
    NvStub::ContextStack().push_back(*ctx);
    return CUDA_SUCCESS;
}
NVSTUB_API CUresult cuCtxDestroy_v2(CUcontext ctx) {
    if (int s = Enter("cuCtxDestroy_v2")) return static_cast<CUresult>(s);
    auto& stack = NvStub::ContextStack();
    if (!stack.empty() && stack.back() == ctx) stack.pop_back();
    delete reinterpret_cast<int*>(ctx);
    return CUDA_SUCCESS;
}
}
