// The path filter: a prefix tree over path elements, built from the
// configured included and excluded paths, that decides whether an accessed
// path is forwarded to Kestrum. Immutable once built; no lock of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

class ScanSet
{
public:
    // state() results.
    enum { INCLUDED = 0, EXCLUDED = 1, ON_THE_WAY = 2 };

    // Forwards nothing: state() is 1 for every absolute path.
    ScanSet();

    // Throws boost::filesystem::filesystem_error("ScanSet", path,
    // {EC_NOT_ABSOLUTE_PATH, "nx.Error"}) for the first path that is not
    // absolute, the included list tested first; nothing is built then.
    ScanSet(const std::vector<std::string>& included, const std::vector<std::string>& excluded);

    // 0 when the path is included, 1 when it is excluded or lies outside
    // every configured path, 2 when it ends exactly at a directory on the
    // way to configured paths that is not itself covered. One map lookup per
    // element and no allocation.
    // Throws boost::filesystem::filesystem_error("ScanSet state", path,
    // {EC_NOT_ABSOLUTE_PATH, "nx.Error"}) for a path that is not absolute.
    int state(const boost::filesystem::path& path) const;
    int state(const std::string& path) const;
    int state(const char* path) const;

    // A path is absolute when it has a root directory: it begins with a
    // separator, and a leading root name ("//name") is followed by one.
    // Never throws.
    static bool is_absolute(std::string_view path);

    // The next element of path from pos, as Boost.Filesystem's iteration
    // gives it (a leading "//name" root name, "/" for the root directory,
    // names, "." for a trailing separator), viewing path or static text.
    // Starts with pos 0; false at the end. Never throws.
    static bool next_element(std::string_view path, std::size_t& pos, std::string_view& element);

private:
    struct entry_t
    {
        char mark;
        std::string path;
        std::size_t depth;
    };

    void init(const std::vector<std::string>& included, const std::vector<std::string>& excluded);
    void add(std::string_view path, char new_mark);
    ScanSet& child_for_update(std::string_view name);
    void normalize();
    int state_of(std::string_view path) const;

    char mark_;
    // std::less<> lets a lookup take a view of the queried path without
    // building a string for each element.
    std::map<std::string, ScanSet, std::less<>> children_;
};
