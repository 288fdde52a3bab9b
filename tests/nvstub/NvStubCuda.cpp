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

// Counts the call and returns its chosen failure.
#define NVSTUB_ENTER(name)                                             \
    if (int s_ = Enter(name)) return static_cast<CUresult>(s_)
// The same, and the real driver's refusal when the calling thread has no current context.
#define NVSTUB_IN_CONTEXT(name) \
    NVSTUB_ENTER(name);         \
    if (!NvStub::CurrentContext()) return static_cast<CUresult>(201) /* invalid context */

extern "C" {

NVSTUB_API CUresult cuMemAllocPitch_v2(CUdeviceptr* dptr, size_t* pitch, size_t widthInBytes, size_t height,
                                       unsigned int /*elementSize*/) {
    NVSTUB_IN_CONTEXT("cuMemAllocPitch_v2");
    const size_t p = (widthInBytes + 255) / 256 * 256;
    void* mem = calloc(1, p * height + 1);
    *dptr = static_cast<CUdeviceptr>(reinterpret_cast<uintptr_t>(mem));
    *pitch = p;
    Get().deviceAllocations[*dptr] = p * height;
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuMemFree_v2(CUdeviceptr dptr) {
    NVSTUB_IN_CONTEXT("cuMemFree_v2");
    auto& m = Get().deviceAllocations;
    auto it = m.find(dptr);
    if (it == m.end()) return static_cast<CUresult>(1) /* invalid value */;
    free(reinterpret_cast<void*>(dptr));
    m.erase(it);
    return CUDA_SUCCESS;
}

#ifndef NVSTUB_PARTIAL
NVSTUB_API CUresult cuMemAllocHost_v2(void** pp, size_t bytesize) {
    NVSTUB_IN_CONTEXT("cuMemAllocHost_v2");
    *pp = calloc(1, bytesize);
    Get().hostAllocations.insert(*pp);
    return CUDA_SUCCESS;
}
#endif

NVSTUB_API CUresult cuMemFreeHost(void* p) {
    NVSTUB_IN_CONTEXT("cuMemFreeHost");
    if (!Get().hostAllocations.erase(p)) return static_cast<CUresult>(1) /* invalid value */;
    free(p);
    return CUDA_SUCCESS;
}

// cuCtxSetCurrent replaces the top of the calling thread's context stack (null removes it).
NVSTUB_API CUresult cuCtxSetCurrent(CUcontext ctx) {
    NVSTUB_ENTER("cuCtxSetCurrent");
    auto& stack = NvStub::ContextStack();
    if (!stack.empty()) stack.pop_back();
    if (ctx) stack.push_back(ctx);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxGetCurrent(CUcontext* ctx) {
    NVSTUB_ENTER("cuCtxGetCurrent");
    *ctx = static_cast<CUcontext>(NvStub::CurrentContext());
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxPushCurrent_v2(CUcontext ctx) {
    NVSTUB_ENTER("cuCtxPushCurrent_v2");
    if (!ctx) return static_cast<CUresult>(1) /* invalid value */;
    NvStub::ContextStack().push_back(ctx);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuCtxPopCurrent_v2(CUcontext* ctx) {
    NVSTUB_ENTER("cuCtxPopCurrent_v2");
    auto& stack = NvStub::ContextStack();
    if (stack.empty()) return static_cast<CUresult>(201) /* invalid context */;
    if (ctx) *ctx = static_cast<CUcontext>(stack.back());
    stack.pop_back();
    return CUDA_SUCCESS;
}

static CUresult Copy2D(const char* name, const CUDA_MEMCPY2D* c, CUstream stream) {
    NVSTUB_IN_CONTEXT(name);
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

NVSTUB_API CUresult cuMemcpy2D_v2(const CUDA_MEMCPY2D* c) { return Copy2D("cuMemcpy2D_v2", c, nullptr); }
NVSTUB_API CUresult cuMemcpy2DAsync_v2(const CUDA_MEMCPY2D* c, CUstream s) { return Copy2D("cuMemcpy2DAsync_v2", c, s); }

NVSTUB_API CUresult cuStreamCreate(CUstream* stream, unsigned int /*flags*/) {
    NVSTUB_IN_CONTEXT("cuStreamCreate");
    *stream = reinterpret_cast<CUstream>(new int(0));
    Get().cuStreams.insert(*stream);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamDestroy_v2(CUstream stream) {
    NVSTUB_IN_CONTEXT("cuStreamDestroy_v2");
    if (!Get().cuStreams.erase(stream)) return static_cast<CUresult>(400) /* invalid handle */;
    delete reinterpret_cast<int*>(stream);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamSynchronize(CUstream /*stream*/) {
    NVSTUB_IN_CONTEXT("cuStreamSynchronize");
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuStreamWaitEvent(CUstream /*stream*/, CUevent event, unsigned int /*flags*/) {
    NVSTUB_IN_CONTEXT("cuStreamWaitEvent");
    if (!Get().cuEvents.count(event)) return static_cast<CUresult>(400) /* invalid handle */;
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventCreate(CUevent* event, unsigned int /*flags*/) {
    NVSTUB_IN_CONTEXT("cuEventCreate");
    *event = reinterpret_cast<CUevent>(new int(0));
    Get().cuEvents.insert(*event);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventDestroy_v2(CUevent event) {
    NVSTUB_IN_CONTEXT("cuEventDestroy_v2");
    if (!Get().cuEvents.erase(event)) return static_cast<CUresult>(400) /* invalid handle */;
    delete reinterpret_cast<int*>(event);
    return CUDA_SUCCESS;
}

NVSTUB_API CUresult cuEventRecord(CUevent event, CUstream stream) {
    NVSTUB_IN_CONTEXT("cuEventRecord");
    if (!Get().cuEvents.count(event) || (stream && !Get().cuStreams.count(stream))) return static_cast<CUresult>(400) /* invalid handle */;
    return CUDA_SUCCESS;
}

}  // extern "C"
