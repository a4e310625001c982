// "/proc/devices" as the module loader reads it: the major number of the
// line that names the module in the character section, or -1, or the
// documented conversion failure.
// Property: a major found is the first field of the first line of the
// "Character devices:" section made of exactly two fields, the second the
// whole name, as an independent split of the same bytes finds it.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/lkm_loader.hpp"
#include "support/fuzz_support.hpp"

namespace {

const char* const name = "noxel";

std::vector<std::string> fields_of(const std::string& line)
{
    std::vector<std::string> fields;
    std::string field;
    for (unsigned char c : line) {
        if (std::isspace(c)) {
            if (!field.empty())
                fields.push_back(field);
            field.clear();
        } else {
            field += static_cast<char>(c);
        }
    }
    if (!field.empty())
        fields.push_back(field);
    return fields;
}

// The decimal value of the whole field, when it is one that fits an int.
bool decimal(const std::string& field, int& value)
{
    if (field.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(field.c_str(), &end, 10);
    if (errno != 0 || end != field.c_str() + field.size() || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<int>(parsed);
    return true;
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

    // The first line of the character section that names the module decides.
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    bool character_section = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == ':') {
            character_section = line == "Character devices:";
            continue;
        }
        const std::vector<std::string> fields = fields_of(line);
        if (!character_section || fields.size() != 2 || fields[1] != name)
            continue;
        int expected = 0;
        if (!decimal(fields[0], expected)) {
            nt_fuzz::check(threw, "a naming line whose major is no int, yet no failure");
            return 0;
        }
        nt_fuzz::check(!threw && major == expected, "major is not the first field of the first naming line");
        return 0;
    }
    nt_fuzz::check(!threw && major == -1, "no naming line, yet a major or a failure");
    return 0;
}
