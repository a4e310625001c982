// The path filter as the file monitor builds it from a configuration that
// Ostrand sends: the body of a GET_CONTEXT_RESPONSE, parsed as the Ostrand
// link parses it, its included and excluded paths made into a ScanSet.
// Properties: construction fails, with code 20 and the first path without a
// root directory element (as Boost.Filesystem iterates it), exactly when there is
// one; otherwise every configured path answers with the mark of the entry
// that names its node last (deeper entries later, at equal depth the
// inclusion), elements compared as Boost.Filesystem iterates them.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>

#include "core/config.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "monitor/scan_set.hpp"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "support/fuzz_support.hpp"

namespace {

struct winner_t
{
    std::size_t depth = 0;
    int state = -1;
};

// A root directory among the elements. (Boost's has_root_directory says yes
// for "//s", whose only element is the root name.)
bool absolute(const std::string& path)
{
    for (const boost::filesystem::path& element : boost::filesystem::path(path))
        if (element.native() == "/")
            return true;
    return false;
}

// The query that walks exactly the elements, "." left out.
std::string query_of(const std::vector<std::string>& key)
{
    std::string query = key[0];
    for (std::size_t i = 1; i < key.size(); ++i) {
        if (key[i] != "/" && query.back() != '/')
            query += '/';
        query += key[i];
    }
    return query;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    nx::Ostrand2LinuxTarselMessage message;
    message.ParsePartialFromArray(data, static_cast<int>(size));
    std::vector<std::string> included, excluded;
    included_paths(message.config(), included);
    excluded_paths(message.config(), excluded);

    const std::string* first_bad = nullptr;
    for (const std::vector<std::string>* list : {&included, &excluded})
        for (const std::string& path : *list)
            if (!first_bad && !absolute(path))
                first_bad = &path;
    if (first_bad) {
        try {
            ScanSet set(included, excluded);
            nt_fuzz::fail("a path without a root directory was taken");
        } catch (const boost::filesystem::filesystem_error& e) {
            nt_fuzz::check(e.code() == nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH), "not code 20");
            nt_fuzz::check(e.path1().native() == *first_bad, "another path reported");
        }
        return 0;
    }
    const ScanSet set(included, excluded);

    std::map<std::vector<std::string>, winner_t> winners;
    for (const std::vector<std::string>* list : {&excluded, &included})
        for (const std::string& path : *list) {
            std::vector<std::string> key;
            std::size_t depth = 0;
            for (const boost::filesystem::path& element : boost::filesystem::path(path)) {
                ++depth;
                if (element.native() != ".")
                    key.push_back(element.native());
            }
            winner_t& winner = winners[key];
            // Excluded entries come first here: at equal depth the inclusion wins.
            if (depth >= winner.depth) {
                winner.depth = depth;
                winner.state = list == &included ? ScanSet::INCLUDED : ScanSet::EXCLUDED;
            }
        }
    for (const auto& named : winners) {
        const std::string query = query_of(named.first);
        nt_fuzz::check(set.state(query) == named.second.state, "a configured path answers otherwise");
        // Below a configured path, a name that no entry uses answers the same.
        nt_fuzz::check(set.state(query + (query.back() == '/' ? "" : "/") + "\x01unnamed") == named.second.state ||
                           winners.count([&] {
                               std::vector<std::string> below = named.first;
                               below.push_back("\x01unnamed");
                               return below;
                           }()),
                       "an unnamed child answers otherwise than its configured parent");
    }
    return 0;
}
