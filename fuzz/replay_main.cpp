// A stand-in for libFuzzer's driver in ordinary builds: runs the target once
// on the empty input and once on every file named on the command line or
// found under a directory named there (in name order, so runs repeat). A
// failed check aborts, as it would under libFuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (file.bad()) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint8_t nothing = 0;
    LLVMFuzzerTestOneInput(&nothing, 0);
    std::size_t replayed = 1;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code error;
        if (!fs::is_directory(arg, error)) {
            ok = replay_file(arg) && ok;
            replayed += 1;
            continue;
        }
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator it(arg, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_regular_file(error))
                files.push_back(it->path());
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), error.message().c_str());
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files)
            ok = replay_file(file) && ok;
        replayed += files.size();
    }
    std::printf("%s: replayed %zu inputs\n", argc > 0 ? argv[0] : "fuzz target", replayed);
    return ok ? 0 : 1;
}
