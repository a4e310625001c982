// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes, and helpers to read files back.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

class temp_dir_t
{
public:
    // prefix names the directory, e.g. "file-log".
    // Throws boost::filesystem::filesystem_error when it cannot be made.
    explicit temp_dir_t(const std::string& prefix)
        : dir(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path(prefix + "-%%%%-%%%%"))
    {
        boost::filesystem::create_directory(dir);
    }

    ~temp_dir_t()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir, ignored);
    }

    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;

    const boost::filesystem::path& path() const { return dir; }
    boost::filesystem::path operator/(const std::string& name) const { return dir / name; }

private:
    boost::filesystem::path dir;
};

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const boost::filesystem::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The lines of a text, without their newlines.
inline std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
