// Runs a fuzz target without the fuzzing engine, for the ordinary test
// builds: every file of the given corpus directories once, then a bounded
// number of deterministic mutations of them. A failed check aborts, so the
// test fails and names the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

void run(const std::vector<std::uint8_t>& input) {
    // A copy of exactly the input's size, so that reading past it is caught.
    std::vector<std::uint8_t> copy(input);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

}  // namespace

int main(int argc, char** argv) {
    long mutations = 20000;
    std::vector<std::vector<std::uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--mutations=", 0) == 0) {
            mutations = std::strtol(arg.c_str() + 12, nullptr, 10);
            continue;
        }
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& e : std::filesystem::directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
        } else {
            files.emplace_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::fprintf(stderr, "%s\n", f.string().c_str());
            corpus.push_back(readFile(f));
            run(corpus.back());
        }
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    zelvofuzz::XorShift rng(12345);
    for (long k = 0; k < mutations; ++k) {
        std::vector<std::uint8_t> in = corpus[rng.next() % corpus.size()];
        const std::uint32_t edits = 1 + rng.next() % 4;
        for (std::uint32_t e = 0; e < edits; ++e) {
            const std::uint32_t r = rng.next();
            const std::size_t at = in.empty() ? 0 : rng.next() % (in.size() + 1);
            static const char interesting[] = "\r\n:;,0Ff OK chunked\t";
            const auto byte =
                (r & 1)
                    ? static_cast<std::uint8_t>(rng.next())
                    : static_cast<std::uint8_t>(interesting[rng.next() % (sizeof interesting - 1)]);
            switch (r % 3) {
                case 0:
                    in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), byte);
                    break;
                case 1:
                    if (at < in.size()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(at));
                    break;
                case 2:
                    if (at < in.size()) in[at] = byte;
                    break;
            }
        }
        run(in);
    }
    std::printf("%zu inputs and %ld mutations passed\n", corpus.size(), mutations);
    return 0;
}
