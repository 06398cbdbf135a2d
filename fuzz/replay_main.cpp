// The driver of a fuzz target outside libFuzzer: runs the target once over
// every file named on the command line and every regular file below every
// directory named (in name order, so runs repeat exactly). A crash or a
// broken invariant ends the program abnormally, which fails the ctest test.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.hpp"

namespace fs = std::filesystem;

namespace {

bool runFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, as libFuzzer gives it, so that ASan
    // sees a read one past the end.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            for (const fs::path& f : files) {
                if (!runFile(f)) return 2;
                ++count;
            }
        } else if (fs::is_regular_file(arg, ec)) {
            if (!runFile(arg)) return 2;
            ++count;
        } else {
            std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("replayed %zu files, checksum %016llx\n", count,
                static_cast<unsigned long long>(qm5::fuzz::checksum));
    return count > 0 ? 0 : 1;
}
