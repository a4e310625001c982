// A plain driver for a harness, in place of libFuzzer's: every input once,
// each file named on the command line and each file of a folder named there,
// folders in name order. The seeds and the fixed findings so run as
// regression inputs in every test pass, with any compiler; a property that
// fails aborts as under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const boost::filesystem::path& file)
{
    std::ifstream in(file.string(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // libFuzzer hands an empty input a valid pointer too.
    static const std::uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<boost::filesystem::path> files;
        if (boost::filesystem::is_directory(argv[i])) {
            for (const boost::filesystem::directory_entry& entry : boost::filesystem::directory_iterator(argv[i]))
                if (boost::filesystem::is_regular_file(entry.status()))
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const boost::filesystem::path& file : files) {
            replay(file);
            ++inputs;
        }
    }
    std::printf("replayed %zu inputs\n", inputs);
    // A harness with no input to replay tests nothing.
    return inputs > 0 ? 0 : 1;
}
