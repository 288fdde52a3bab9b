// Loads a library the way a managed host does: dlopen by its full path with RTLD_NOW, then the
// decoder's plain C functions by name, called once.
//   ruvar_library_loader LIBRARY [COMPANION...]
// Each COMPANION is the file that the library's dependency of the same file name must have come
// from (e.g. FOLDER/libHalvoraCommon.so.1: the library found its companion in its own folder).
// Exit status: 0 loaded and called; 1 bad use; 2 dlopen failed; 3 a function is missing;
// 4 a companion came from another file. The reason goes to stderr.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace Halvora {
namespace RuvarEduzid {
class FFMpegDecoder;
}  // namespace RuvarEduzid
}  // namespace Halvora

namespace {
using Decoder = Halvora::RuvarEduzid::FFMpegDecoder;
using CreateFunction = Decoder* (*)();
using DestroyFunction = void (*)(Decoder*);

bool SameFile(const char* a, const char* b) {
    struct stat sa {}, sb {};
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The file the loaded object of this file name (its SONAME) was mapped from; empty when none is loaded.
std::string LoadedFrom(const std::string& name) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return {};
    link_map* map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    dlclose(handle);
    return path;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBRARY [COMPANION...]\n", argv[0]);
        return 1;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
        return 2;
    }
    auto create = reinterpret_cast<CreateFunction>(dlsym(library, "FFMpegDecoder_Create"));
    auto destroy = reinterpret_cast<DestroyFunction>(dlsym(library, "FFMpegDecoder_Destroy"));
    if (!create || !destroy) {
        std::fprintf(stderr, "dlsym failed: %s\n", dlerror());
        return 3;
    }
    Decoder* decoder = create();
    if (!decoder) {
        std::fprintf(stderr, "FFMpegDecoder_Create returned null\n");
        return 3;
    }
    destroy(decoder);

    for (int i = 2; i < argc; ++i) {
        const char* slash = std::strrchr(argv[i], '/');
        std::string name = slash ? slash + 1 : argv[i];
        std::string loaded = LoadedFrom(name);
        if (loaded.empty() || !SameFile(loaded.c_str(), argv[i])) {
            std::fprintf(stderr, "%s came from '%s', not from %s\n", name.c_str(), loaded.c_str(), argv[i]);
            return 4;
        }
    }
    dlclose(library);
    std::printf("loaded %s\n", argv[1]);
    return 0;
}
