// A fresh private directory, removed with everything in it on destruction,
// and helpers to write and read files back.
#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace nt {

class temp_dir_t
{
public:
    // Creates "<TMPDIR or /tmp>/<prefix>XXXXXX". Throws std::system_error
    // when it cannot.
    explicit temp_dir_t(const std::string& prefix = "nt-");
    ~temp_dir_t();
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;

    const std::string& path() const { return dir; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    boost::filesystem::path operator/(const std::string& name) const { return boost::filesystem::path(dir) / name; }

private:
    std::string dir;
};

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// Writes the content to the file, replacing it. Throws std::system_error.
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);

// The lines of a text, without their newlines; a last line without a newline
// counts (complete_lines in child_process.hpp leaves it out).
std::vector<std::string> split_lines(const std::string& text);

} // namespace nt
