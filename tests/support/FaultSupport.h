#pragma once

// Helpers of the fault tests: a file system that fills up, damaged copies of media files.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace RuvarTest {

// A directory where writing fails once about `bytes` are used. As root it is a tmpfs mounted
// with size=<bytes> (unmounted again by the destructor); otherwise a plain directory and the
// process's file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) set to `bytes`, which then holds
// per file. Use it inside a child process (EXPECT_EXIT) so that the limit cannot leak, and make it
// there before any thread starts: the tmpfs then lives in a mount namespace of the child's own and
// goes with the child, however it ends.
class SmallDisk {
public:
    SmallDisk(const std::string& name, uint64_t bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    const std::string& Path() const { return m_path; }
    bool Mounted() const { return m_mounted; }
    // "tmpfs size=N" or "RLIMIT_FSIZE=N", for the test's notes.
    std::string Describe() const;

private:
    std::string m_path;
    uint64_t m_bytes;
    bool m_mounted = false;
};

// In the parent, once a child is done: unmounts any SmallDisk named `name` that a child left
// mounted (a child that had threads already when it made the disk shares the parent's mounts, and
// a child that ends by _Exit does not run the destructor).
void UnmountSmallDisks(const std::string& name);

// Writes a file at `path` until the disk (or the file-size limit) refuses more; returns the bytes
// written.
uint64_t FillDisk(const std::string& path);

// Notes of a death-test child, kept in a file so that the parent can print them (a child's own
// output is shown only when the test fails).
void ChildNote(const std::string& test, const std::string& text);
void PrintChildNotes(const std::string& test);

// A check inside a death-test child: on failure it says what failed and ends the child with 1.
#define RUVAR_CHILD_CHECK(cond, what)                          \
    do {                                                      \
        if (!(cond)) {                                        \
            std::fprintf(stderr, "check failed: %s\n", what); \
            std::fflush(stderr);                              \
            std::_Exit(1);                                    \
        }                                                     \
    } while (0)

// A copy of `bytes` cut to `keep` bytes.
std::string Truncated(const std::string& bytes, size_t keep);
// A copy of `bytes` with `flips` single bits flipped at positions drawn from `seed`, sparing the
// first `spare` bytes (so that a container's header survives and the damage lands in the media).
std::string BitFlipped(const std::string& bytes, unsigned flips, uint32_t seed, size_t spare = 0);

}  // namespace RuvarTest
