// Runs a fuzz target without libFuzzer: every seed of a folder, then deterministic mutations of
// the seeds (bit flips, cuts, insertions, splices). Usage: <target> <runs> <seed folder>.

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s runs seed-folder\n", argv[0]);
        return 2;
    }
    const long runs = std::atol(argv[1]);
    std::vector<std::string> seeds;
    if (DIR* dir = opendir(argv[2])) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream in(std::string(argv[2]) + "/" + entry->d_name, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            seeds.push_back(ss.str());
        }
        closedir(dir);
    }
    if (seeds.empty()) seeds.emplace_back();
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (const auto& seed : seeds) LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    for (long run = 0; run < runs; ++run) {
        std::string input = seeds[next() % seeds.size()];
        const int mutations = 1 + static_cast<int>(next() % 8);
        for (int m = 0; m < mutations; ++m) {
            const size_t pos = input.empty() ? 0 : next() % input.size();
            switch (next() % 6) {
                case 0:
                    if (!input.empty()) input[pos] = static_cast<char>(input[pos] ^ (1 << (next() % 8)));
                    break;
                case 1:
                    if (!input.empty()) input[pos] = static_cast<char>(next());
                    break;
                case 2: input.resize(pos); break;
                case 3: input.insert(pos, std::string(1 + next() % 16, static_cast<char>(next()))); break;
                case 4: {
                    const std::string& other = seeds[next() % seeds.size()];
                    if (!other.empty()) input.insert(pos, other.substr(next() % other.size()));
                    break;
                }
                default:
                    if (!input.empty()) input.erase(pos, 1 + next() % 8);
                    break;
            }
            if (input.size() > 8192) input.resize(8192);
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
    std::printf("%ld runs over %zu seeds\n", runs, seeds.size());
    return 0;
}
