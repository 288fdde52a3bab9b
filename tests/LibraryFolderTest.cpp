// A host that ships libRuvarEduzid.so in a folder of its own loads it by its full path (as a
// managed host does); the library finds libHalvoraCommon.so.1 beside it, without LD_LIBRARY_PATH.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using RuvarTest::Quote;
using RuvarTest::RunCommand;

TEST(LibraryFolder, LibraryLoadedByFullPathFindsHalvoraCommonInItsOwnFolder) {
    std::string dir = RuvarTest::TempDir("library-folder");
    // The real files (no links), under their SONAME file names and the link name a host loads.
    std::string out;
    int rc = RunCommand("cp -L " + Quote(RUVAR_SHARED_LIBRARY) + " " + Quote(dir + "/libRuvarEduzid.so.1") + " && cp -L " +
                            Quote(RUVAR_SHARED_LIBRARY) + " " + Quote(dir + "/libRuvarEduzid.so") + " && cp -L " +
                            Quote(RUVAR_COMMON_SHARED_LIBRARY) + " " + Quote(dir + "/libHalvoraCommon.so.1"),
                        &out, true);
    ASSERT_EQ(rc, 0) << out;

    // The loader fails unless libHalvoraCommon.so.1 was mapped from the copy in `dir`; the one in
    // the build tree does not count.
    rc = RunCommand("env -u LD_LIBRARY_PATH ASAN_OPTIONS=detect_leaks=0 " + Quote(RUVAR_LIBRARY_LOADER) + " " +
                        Quote(dir + "/libRuvarEduzid.so") + " " + Quote(dir + "/libHalvoraCommon.so.1"),
                    &out, true);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("loaded " + dir + "/libRuvarEduzid.so"), std::string::npos) << out;
}
