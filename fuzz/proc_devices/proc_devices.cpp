// "/proc/devices" as the module loader reads it: the major number of the
// line that names the module, or -1, or the documented conversion failure.
// Property: a major found is the first token of a line whose second token is
// the name, as an independent split of the same bytes finds it.
#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/lkm_loader.hpp"
#include "support/fuzz_support.hpp"

namespace {

const char* const name = "noxel";

std::vector<std::string> tokens_of(const std::string& line)
{
    std::vector<std::string> tokens;
    std::string token;
    for (unsigned char c : line) {
        if (std::isspace(c) || std::ispunct(c)) {
            if (!token.empty())
                tokens.push_back(token);
            token.clear();
        } else {
            token += static_cast<char>(c);
        }
    }
    if (!token.empty())
        tokens.push_back(token);
    return tokens;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    const nt_fuzz::memory_file_t file(data, size);
    int major = -1;
    bool threw = false;
    try {
        major = get_device_major(name, file.path());
    } catch (const boost::bad_lexical_cast&) {
        threw = true;
    } catch (const boost::system::system_error&) {
        threw = true;
    }

    // The first line that names the module decides.
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string> tokens = tokens_of(line);
        if (tokens.size() < 2 || tokens[1] != name)
            continue;
        if (threw)
            return 0; // the first token is no int: a defined failure
        nt_fuzz::check(major >= 0 && std::to_string(major) == tokens[0].substr(tokens[0].find_first_not_of('0') ==
                                                                                   std::string::npos
                                                                               ? tokens[0].size() - 1
                                                                               : tokens[0].find_first_not_of('0')),
                       "major is not the first token of the first naming line");
        return 0;
    }
    nt_fuzz::check(!threw && major == -1, "no naming line, yet a major or a failure");
    return 0;
}
