// Runs inputs through a fuzz target's entry point without libFuzzer, so that every build replays the
// inputs that once went wrong. Arguments are files and folders; a folder gives each file in it, in
// sorted order, one input a file. A folder that does not exist gives nothing, but the whole run must
// replay at least one input. An input that breaks the target ends the program as it would end the
// fuzzer: with a crash, a sanitizer report or a failed check, after its name is printed; one that takes
// the program past the fuzzer's memory limit (512 MB) fails it too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr long memoryLimitKilobytes = 512 * 1024;

long peakMemoryKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument)
{
    std::error_code error;
    if (std::filesystem::is_regular_file(argument, error))
        return { argument };
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(argument, error))
        return files;
    for (const auto& entry : std::filesystem::directory_iterator(argument, error)) {
        if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char* argv[])
{
    std::size_t replayed = 0;
    for (int index = 1; index < argc; ++index) {
        for (const auto& file : inputsOf(argv[index])) {
            std::ifstream stream(file, std::ios::binary);
            if (!stream) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replaying %s\n", file.c_str());
            std::fflush(stderr);
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            if (peakMemoryKilobytes() > memoryLimitKilobytes) {
                std::fprintf(stderr, "%s took the program past 512 MB\n", file.c_str());
                return 1;
            }
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "no input to replay\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
