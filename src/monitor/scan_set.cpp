#include "monitor/scan_set.hpp"

#include <algorithm>

#include <boost/filesystem/exception.hpp>

#include "error.pb.h"
#include "error/proto_error.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

const char MARK_INCLUDED = '+';
const char MARK_EXCLUDED = '-';

[[noreturn]] void throw_not_absolute(const char* context, const boost::filesystem::path& path)
{
    throw boost::filesystem::filesystem_error(context, path, nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH));
}

std::size_t depth_of(std::string_view path)
{
    std::size_t depth = 0;
    std::size_t pos = 0;
    std::string_view element;
    while (ScanSet::next_element(path, pos, element))
        ++depth;
    return depth;
}

} // namespace

ScanSet::ScanSet()
    : mark_(0)
{}

ScanSet::ScanSet(const std::vector<std::string>& included, const std::vector<std::string>& excluded)
    : mark_(0)
{
    init(included, excluded);
}

bool ScanSet::is_absolute(std::string_view path)
{
    if (path.empty() || path[0] != '/')
        return false;
    // "//name" alone (and "//") is a root name without a root directory:
    // it names no place in this file system's tree.
    const bool root_name = path.size() >= 2 && path[1] == '/' && (path.size() == 2 || path[2] != '/');
    return !root_name || (path.size() > 2 && path.find('/', 2) != std::string_view::npos);
}

bool ScanSet::next_element(std::string_view path, std::size_t& pos, std::string_view& element)
{
    const std::size_t size = path.size();
    if (pos >= size)
        return false;
    if (pos == 0 && path[0] == '/') {
        // Exactly two separators and a name make a root name.
        if (size >= 2 && path[1] == '/' && (size == 2 || path[2] != '/')) {
            pos = std::min(path.find('/', 2), size);
            element = path.substr(0, pos);
            return true;
        }
        element = std::string_view("/", 1);
        pos = std::min(path.find_first_not_of('/'), size);
        return true;
    }
    if (path[pos] == '/') {
        const std::size_t next = std::min(path.find_first_not_of('/', pos), size);
        // The separator after a root name is the root directory; the cheap
        // tests come first because nearly every path has no root name.
        const bool after_root_name = path[1] == '/' && path[0] == '/' && path[2] != '/' && path.find('/', 2) == pos;
        if (after_root_name) {
            element = std::string_view("/", 1);
            pos = next;
            return true;
        }
        if (next == size) {
            element = std::string_view(".", 1);
            pos = size;
            return true;
        }
        pos = next;
    }
    const std::size_t end = std::min(path.find('/', pos), size);
    element = path.substr(pos, end - pos);
    pos = end;
    return true;
}

void ScanSet::init(const std::vector<std::string>& included, const std::vector<std::string>& excluded)
{
    mark_ = 0;
    children_.clear();

    // Every path is tested before any is added, so a failure leaves no
    // partly built tree.
    std::vector<entry_t> entries;
    entries.reserve(included.size() + excluded.size());
    for (const std::string& path : included) {
        if (!is_absolute(path))
            throw_not_absolute(TS_TEXT_CONTEXT_SCAN_SET, path);
        entries.push_back(entry_t{MARK_INCLUDED, path, depth_of(path)});
    }
    for (const std::string& path : excluded) {
        if (!is_absolute(path))
            throw_not_absolute(TS_TEXT_CONTEXT_SCAN_SET, path);
        entries.push_back(entry_t{MARK_EXCLUDED, path, depth_of(path)});
    }

    // Shallow entries first, so a node created on the way to a deeper entry
    // inherits the mark of its nearest configured ancestor; at equal depth
    // the exclusion goes first, so a path in both lists ends up included.
    std::stable_sort(entries.begin(), entries.end(), [](const entry_t& a, const entry_t& b) {
        if (a.depth != b.depth)
            return a.depth < b.depth;
        return a.mark == MARK_EXCLUDED && b.mark == MARK_INCLUDED;
    });
    for (const entry_t& entry : entries)
        add(entry.path, entry.mark);
    normalize();
}

void ScanSet::add(std::string_view path, char new_mark)
{
    ScanSet* node = this;
    std::size_t pos = 0;
    std::string_view element;
    while (next_element(path, pos, element)) {
        if (element == ".")
            continue;
        node = &node->child_for_update(element);
    }
    node->mark_ = new_mark;
}

ScanSet& ScanSet::child_for_update(std::string_view name)
{
    auto it = children_.lower_bound(name);
    if (it != children_.end() && it->first == name)
        return it->second;
    it = children_.emplace_hint(it, std::string(name), ScanSet());
    it->second.mark_ = mark_;
    return it->second;
}

void ScanSet::normalize()
{
    // A leaf that repeats its parent's mark answers like its parent.
    for (auto it = children_.begin(); it != children_.end();) {
        it->second.normalize();
        if (it->second.mark_ == mark_ && it->second.children_.empty())
            it = children_.erase(it);
        else
            ++it;
    }
}

int ScanSet::state(const boost::filesystem::path& path) const
{
    if (!is_absolute(path.native()))
        throw_not_absolute(TS_TEXT_CONTEXT_SCAN_SET_STATE, path);
    return state_of(path.native());
}

int ScanSet::state(const std::string& path) const
{
    if (!is_absolute(path))
        throw_not_absolute(TS_TEXT_CONTEXT_SCAN_SET_STATE, path);
    return state_of(path);
}

int ScanSet::state(const char* path) const
{
    const std::string_view text(path);
    if (!is_absolute(text))
        throw_not_absolute(TS_TEXT_CONTEXT_SCAN_SET_STATE, path);
    return state_of(text);
}

int ScanSet::state_of(std::string_view path) const
{
    const ScanSet* node = this;
    bool consumed = true;
    std::size_t pos = 0;
    std::string_view element;
    // A "." never names a child (add skips them), so the walk stops there.
    while (next_element(path, pos, element)) {
        auto it = node->children_.find(element);
        if (it == node->children_.end()) {
            consumed = false;
            break;
        }
        node = &it->second;
    }
    if (node->mark_ == MARK_INCLUDED)
        return INCLUDED;
    if (node->mark_ == MARK_EXCLUDED)
        return EXCLUDED;
    return consumed ? ON_THE_WAY : EXCLUDED;
}
