#include "support/FaultSupport.h"

#include "support/TestSupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace RuvarTest {

namespace {

size_t ThreadCount() {
    size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++count;
    return count;
}

}  // namespace

SmallDisk::SmallDisk(const std::string& name, uint64_t bytes) : m_path(TempDir(name)), m_bytes(bytes) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    // RUVAR_SMALL_DISK_RLIMIT=1 takes the file-size limit even as root (to try that path).
    const bool rlimitOnly = std::getenv("RUVAR_SMALL_DISK_RLIMIT") != nullptr;
    if (!rlimitOnly && geteuid() == 0) {
        // The tmpfs is mounted in a mount namespace of this process's own, so it goes when the
        // process ends, also by _Exit as death-test children do (the destructor does not run then),
        // and is never seen outside. A namespace belongs to a thread and threads started later
        // share it, so this is done only while the process has a single thread.
        if (ThreadCount() == 1 && unshare(CLONE_NEWNS) == 0) mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        if (mount("ruvar-small-disk", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
            m_mounted = true;
            return;
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    rlimit limit{};
    limit.rlim_cur = bytes;
    limit.rlim_max = bytes;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit(RLIMIT_FSIZE) failed");
}

SmallDisk::~SmallDisk() {
    if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
}

void UnmountSmallDisks(const std::string& name) {
    // TempDir names the directory <binary dir>/tmp/<name>.<pid>.
    const std::string prefix = std::string(RUVAR_BINARY_DIR) + "/tmp/" + name + ".";
    std::ifstream mounts("/proc/self/mounts");
    std::string source, target, rest;
    std::vector<std::string> targets;
    while (mounts >> source >> target && std::getline(mounts, rest)) {
        if (source != "ruvar-small-disk" || target.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string pid = target.substr(prefix.size());
        if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos) targets.push_back(target);
    }
    for (const auto& t : targets) umount2(t.c_str(), MNT_DETACH);
}

std::string SmallDisk::Describe() const {
    return (m_mounted ? "tmpfs size=" : "RLIMIT_FSIZE=") + std::to_string(m_bytes);
}

uint64_t FillDisk(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    const std::string block(4096, 'x');
    uint64_t written = 0;
    // Flushed block by block: a buffered write would report success for bytes never stored.
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0)
        written += block.size();
    std::fclose(f);
    return written;
}

std::string ChildNotesPath(const std::string& test) { return std::string(RUVAR_BINARY_DIR) + "/" + test + ".notes"; }

void ChildNote(const std::string& test, const std::string& text) {
    FILE* f = std::fopen(ChildNotesPath(test).c_str(), "a");
    if (f) {
        std::fprintf(f, "%s\n", text.c_str());
        std::fclose(f);
    }
}

void PrintChildNotes(const std::string& test) {
    std::printf("%s", ReadFile(ChildNotesPath(test)).c_str());
    std::remove(ChildNotesPath(test).c_str());
}

std::string Truncated(const std::string& bytes, size_t keep) { return bytes.substr(0, keep); }

std::string BitFlipped(const std::string& bytes, unsigned flips, uint32_t seed, size_t spare) {
    std::string out = bytes;
    if (out.size() <= spare) return out;
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> position(spare, out.size() - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    for (unsigned i = 0; i < flips; ++i) out[position(random)] ^= static_cast<char>(1 << bit(random));
    return out;
}

}  // namespace RuvarTest
