// What libRuvarEduzid.so shows to the host: exported classes and plain C functions, nothing else.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <set>
#include <sstream>

namespace {
std::set<std::string> DynamicSymbols(const std::string& library) {
    std::string out;
    EXPECT_EQ(RuvarTest::RunCommand("nm -D --defined-only " + RuvarTest::Quote(library), &out), 0);
    std::set<std::string> names;
    std::istringstream in(out);
    std::string address, type, name;
    while (in >> address >> type >> name) names.insert(name);
    return names;
}

// Plain functions the host calls by C name. Later additions go here.
const char* const kPlainFunctions[] = {
#include "ExportedFunctions.inc"
};
}  // namespace

TEST(ExportedSymbols, LibraryLoadsAndShowsItsPlainFunctionsByCName) {
    void* handle = dlopen(RUVAR_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char* name : kPlainFunctions) {
        if (!*name) continue;
        EXPECT_NE(dlsym(handle, name), nullptr) << name;
    }
    dlclose(handle);
}

TEST(ExportedSymbols, InternalsStayHidden) {
    auto names = DynamicSymbols(RUVAR_SHARED_LIBRARY);
    // An exported class and function are visible...
    EXPECT_TRUE(names.count("_ZN7Halvora11RuvarEduzid10FFMpegGate20EnsureInitializationENS1_8LogLevelE"));
    EXPECT_TRUE(names.count("_ZN7Halvora11RuvarEduzid12DecoderUtils22HalvoraFFmpegDecoderIdE"));
    // ...internal helpers are not.
    for (const auto& n : names) EXPECT_EQ(n.find("Detail"), std::string::npos) << n;
    for (const auto& n : names) EXPECT_EQ(n.find("6Detail"), std::string::npos) << n;
}
