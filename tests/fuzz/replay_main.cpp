// Runs a fuzz target without libFuzzer, for the ordinary and sanitizer builds: every file of the
// corpus directories given, then a fixed number of inputs made from them by a deterministic
// generator (bit flips, interesting bytes, cuts, insertions, splices and random fills). The same
// build always runs the same inputs, so a failure can be replayed.
//
//   replay_<target> [--inputs=N] [--seed=S] [--max-size=BYTES] [--save-failing=PATH] DIR_OR_FILE...

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// Generated inputs are cut to this size unless --max-size says otherwise.
size_t g_max_generated_size = 8192;

// SplitMix64: small, fast, and the same on every platform.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>(Next() % bound); }
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }

  private:
    uint64_t state_;
};

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void CollectInputs(const char* argument, std::vector<std::filesystem::path>* paths) {
    const std::filesystem::path path(argument);
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            if (entry.is_regular_file()) paths->push_back(entry.path());
        }
    } else if (std::filesystem::is_regular_file(path)) {
        paths->push_back(path);
    }
}

// Values that sit at the edges of fields: sizes, ids and counts that lie.
constexpr uint8_t kInterestingBytes[] = {0x00, 0x01, 0x02, 0x03, 0x05, 0x08, 0x10, 0x3F,
                                         0x40, 0x7F, 0x80, 0x81, 0xFE, 0xFF, '<',  '>'};

void Mutate(Bytes& input, const std::vector<Bytes>& seeds, Random& random) {
    switch (random.Below(8)) {
        case 0:  // flip one bit
            if (!input.empty())
                input[random.Below(input.size())] ^= static_cast<uint8_t>(1u << random.Below(8));
            break;
        case 1:  // an interesting byte
            if (!input.empty())
                input[random.Below(input.size())] = kInterestingBytes[random.Below(sizeof kInterestingBytes)];
            break;
        case 2:  // a random byte
            if (!input.empty()) input[random.Below(input.size())] = random.Byte();
            break;
        case 3:  // cut the end
            input.resize(random.Below(input.size() + 1));
            break;
        case 4: {  // erase a run
            if (input.empty()) break;
            const size_t at = random.Below(input.size());
            const size_t count = 1 + random.Below(std::min<size_t>(input.size() - at, 64));
            input.erase(input.begin() + static_cast<ptrdiff_t>(at),
                        input.begin() + static_cast<ptrdiff_t>(at + count));
            break;
        }
        case 5: {  // insert random bytes
            const size_t at = random.Below(input.size() + 1);
            Bytes inserted(1 + random.Below(16));
            for (uint8_t& byte : inserted) byte = random.Byte();
            input.insert(input.begin() + static_cast<ptrdiff_t>(at), inserted.begin(), inserted.end());
            break;
        }
        case 6: {  // repeat a run of the input itself
            if (input.empty()) break;
            const size_t at = random.Below(input.size());
            const size_t count = 1 + random.Below(std::min<size_t>(input.size() - at, 256));
            const Bytes run(input.begin() + static_cast<ptrdiff_t>(at),
                            input.begin() + static_cast<ptrdiff_t>(at + count));
            const size_t to = random.Below(input.size() + 1);
            input.insert(input.begin() + static_cast<ptrdiff_t>(to), run.begin(), run.end());
            break;
        }
        default: {  // splice: the head of this input, the tail of another seed
            if (seeds.empty()) break;
            const Bytes& other = seeds[random.Below(seeds.size())];
            input.resize(random.Below(input.size() + 1));
            input.insert(input.end(), other.begin() + static_cast<ptrdiff_t>(random.Below(other.size() + 1)),
                         other.end());
            break;
        }
    }
    if (input.size() > g_max_generated_size) input.resize(g_max_generated_size);
}

Bytes Generate(const std::vector<Bytes>& seeds, Random& random) {
    Bytes input;
    if (seeds.empty() || random.Below(8) == 0) {
        input.resize(random.Below(512));
        for (uint8_t& byte : input) byte = random.Byte();
        return input;
    }
    input = seeds[random.Below(seeds.size())];
    const size_t mutations = 1 + random.Below(6);
    for (size_t i = 0; i < mutations; ++i) Mutate(input, seeds, random);
    return input;
}

// An exact heap copy, so that a read one byte past the input is caught by the address sanitizer.
void RunOne(const Bytes& input, const std::string& save_failing) {
    if (!save_failing.empty()) {
        std::ofstream(save_failing, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
    LLVMFuzzerTestOneInput(copy.get(), input.size());
}

}  // namespace

int main(int argc, char** argv) {
    size_t generated = 20000;
    uint64_t seed = 1;
    std::string save_failing;  // each input is written there first, so a crash leaves it behind
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--inputs=", 9) == 0) {
            generated = std::strtoull(argv[i] + 9, nullptr, 10);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            seed = std::strtoull(argv[i] + 7, nullptr, 10);
        } else if (std::strncmp(argv[i], "--max-size=", 11) == 0) {
            g_max_generated_size = std::strtoull(argv[i] + 11, nullptr, 10);
        } else if (std::strncmp(argv[i], "--save-failing=", 15) == 0) {
            save_failing = argv[i] + 15;
        } else {
            CollectInputs(argv[i], &paths);
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Bytes> seeds;
    for (const auto& path : paths) {
        seeds.push_back(ReadFile(path));
        RunOne(seeds.back(), save_failing);
    }
    Random random(seed);
    for (size_t i = 0; i < generated; ++i) RunOne(Generate(seeds, random), save_failing);
    std::printf("replayed %zu corpus files and %zu generated inputs\n", seeds.size(), generated);
    return 0;
}
