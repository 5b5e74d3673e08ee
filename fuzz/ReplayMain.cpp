// Runs a fuzz target over files and folders of inputs once each, without libFuzzer: the seed
// corpora and the inputs that once failed stay regression tests of every build, the sanitizer
// build included. A failing input stops the run (the targets abort with a message).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "%s (%zu bytes)\n", path.string().c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    if (!RunFile(entry.path()))
                        return 1;
                    ++inputs;
                }
            }
        } else {
            if (!RunFile(arg))
                return 1;
            ++inputs;
        }
    }
    std::fprintf(stderr, "%d inputs ran\n", inputs);
    // An empty corpus proves nothing.
    return inputs > 0 ? 0 : 1;
}
