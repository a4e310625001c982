#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/make_shared.hpp>

#include "error/proto_error.hpp"
#include "log.pb.h"
#include "log/console_log.hpp"
#include "log/file_log.hpp"
#include "log/log.hpp"
#include "log/log_texts.hpp"
#include "log/syslog_log.hpp"

namespace {

int syslog_facility(int facility)
{
    switch (facility) {
    case nx::Log::USER: return LOG_USER;
    case nx::Log::MAIL: return LOG_MAIL;
    case nx::Log::LOCAL0: return LOG_LOCAL0;
    case nx::Log::LOCAL1: return LOG_LOCAL1;
    case nx::Log::LOCAL2: return LOG_LOCAL2;
    case nx::Log::LOCAL3: return LOG_LOCAL3;
    case nx::Log::LOCAL4: return LOG_LOCAL4;
    case nx::Log::LOCAL5: return LOG_LOCAL5;
    case nx::Log::LOCAL6: return LOG_LOCAL6;
    case nx::Log::LOCAL7: return LOG_LOCAL7;
    default: return LOG_DAEMON;
    }
}

// Who may have made what a log path names: root, or the daemon's own user.
bool trusted_owner(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

// Whether only such a user can add, rename or remove the directory's
// entries (a sticky bit keeps others from removing, not from adding).
bool trusted_directory(const struct stat& st)
{
    return trusted_owner(st.st_uid) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A descriptor closed when the walk leaves it.
class walk_fd_t
{
public:
    explicit walk_fd_t(int fd = -1)
        : fd_(fd)
    {}
    ~walk_fd_t()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    walk_fd_t(const walk_fd_t&) = delete;
    walk_fd_t& operator=(const walk_fd_t&) = delete;
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void open_failed(const std::string& path, int error)
{
    throw boost::filesystem::filesystem_error(CF_TEXT_CONTEXT_LOG_OPEN, path,
                                              boost::system::error_code(error, boost::system::system_category()));
}

[[noreturn]] void refused(const char* context, const std::string& path, const std::string& link)
{
    const boost::system::error_code code(EPERM, boost::system::system_category());
    if (link == path)
        throw boost::filesystem::filesystem_error(context, path, code);
    throw boost::filesystem::filesystem_error(context, path, link, code);
}

int open_at(int dir, const std::string& name, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The names of a path in order, without empty ones and ".".
void push_names(std::deque<std::string>& names, const std::string& path)
{
    std::deque<std::string> found;
    std::string::size_type begin = 0;
    while (begin <= path.size()) {
        std::string::size_type end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string name = path.substr(begin, end - begin);
        if (!name.empty() && name != ".")
            found.push_back(name);
        begin = end + 1;
    }
    names.insert(names.begin(), found.begin(), found.end());
}

// The log file opened for appending, created 0640 (less the umask) when
// missing, close-on-exec and non-blocking, so that a FIFO nobody reads fails
// (ENXIO) instead of hanging the daemon and a stalled one can be given up.
// The path is walked one name at a time, each looked up in the directory
// already opened, so nothing can be swapped in between: a symbolic link is
// followed only when root made it in a directory only root can write;
// otherwise, and for a file of another user, or a hard link where others
// could have made it, the file is refused. A file others could read or
// write loses those rights. `torn`: the file ends inside a line.
int open_log_file(const std::string& path, bool& torn)
{
    walk_fd_t dir(open_at(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
    if (dir.get() < 0)
        open_failed(path, errno);
    std::deque<std::string> names;
    push_names(names, path);
    // The path as walked so far, for the text of a refusal.
    std::string walked;
    bool directory_wanted = path.size() > 1 && path.back() == '/';
    int links = 0;
    // A symbolic link met at `name`: followed when only root could have
    // made it, its target's names then walked in its place.
    auto follow = [&](int link_fd, const struct stat& link, const std::string& shown) {
        struct stat parent;
        if (::fstat(dir.get(), &parent) != 0)
            open_failed(path, errno);
        if (!trusted_owner(link.st_uid) || !trusted_directory(parent))
            refused(CF_TEXT_CONTEXT_LOG_LINK_REFUSED, path, shown);
        // As many as the kernel follows in one path.
        if (++links > 40)
            open_failed(path, ELOOP);
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(link_fd, "", &target[0], target.size());
        if (length < 0)
            open_failed(path, errno);
        target.resize(static_cast<std::size_t>(length));
        if (target.empty())
            open_failed(path, ENOENT);
        if (names.empty() && target.size() > 1 && target.back() == '/')
            directory_wanted = true;
        push_names(names, target);
        if (target[0] == '/') {
            dir.reset(open_at(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
            if (dir.get() < 0)
                open_failed(path, errno);
            walked.clear();
        }
    };
    for (;;) {
        // "/" alone, or a link to it: the directory itself is the file.
        const std::string name = names.empty() ? "." : names.front();
        if (!names.empty())
            names.pop_front();
        const std::string shown = walked + "/" + name;
        if (!names.empty()) {
            walk_fd_t next(open_at(dir.get(), name, O_PATH | O_NOFOLLOW));
            struct stat st;
            if (next.get() < 0 || ::fstat(next.get(), &st) != 0)
                open_failed(path, errno);
            if (S_ISLNK(st.st_mode)) {
                follow(next.get(), st, shown);
                continue;
            }
            if (!S_ISDIR(st.st_mode))
                open_failed(path, ENOTDIR);
            dir.reset(next.release());
            walked = shown;
            continue;
        }
        // The last name is looked at first: opened for writing, a link
        // would fail in ways that depend on the directory (ELOOP, or EACCES
        // in a sticky one), and one planted in between fails that way too.
        auto link_at = [&]() {
            walk_fd_t link(open_at(dir.get(), name, O_PATH | O_NOFOLLOW));
            struct stat st;
            if (link.get() < 0 || ::fstat(link.get(), &st) != 0 || !S_ISLNK(st.st_mode))
                return false;
            follow(link.get(), st, shown);
            return true;
        };
        if (link_at())
            continue;
        walk_fd_t file(open_at(dir.get(), directory_wanted ? name + "/" : name,
                               O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW, 0640));
        if (file.get() < 0 && (errno == ELOOP || errno == EACCES)) {
            const int error = errno;
            if (link_at())
                continue;
            open_failed(path, error);
        }
        if (file.get() < 0)
            open_failed(path, errno);
        struct stat st, parent;
        if (::fstat(file.get(), &st) != 0 || ::fstat(dir.get(), &parent) != 0)
            open_failed(path, errno);
        if (!trusted_owner(st.st_uid))
            refused(CF_TEXT_CONTEXT_LOG_OWNER_REFUSED, path, shown);
        if (S_ISREG(st.st_mode) && st.st_nlink > 1 && !trusted_directory(parent))
            refused(CF_TEXT_CONTEXT_LOG_HARD_LINK_REFUSED, path, shown);
        if (S_ISREG(st.st_mode)) {
            // The log names every accessed file: never for others to read.
            if ((st.st_mode & 07137) != 0)
                ::fchmod(file.get(), st.st_mode & 0640);
            char last = '\n';
            torn = st.st_size > 0 && ::pread(file.get(), &last, 1, st.st_size - 1) == 1 && last != '\n';
        }
        return file.release();
    }
}

cf_log_ptr make_file_sink(const std::string& path)
{
    if (!boost::filesystem::path(path).is_absolute())
        throw boost::filesystem::filesystem_error(CF_TEXT_CONTEXT_LOG_OPTION, path,
                                                  nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH));
    bool torn = false;
    const int fd = open_log_file(path, torn);
    return boost::make_shared<cf_file_log_t>(fd, true, torn);
}

} // namespace

cf_log_ptr make_log_sink(const nx::Log& setting)
{
    switch (setting.type()) {
    case nx::Log::SYSLOG:
        return boost::make_shared<cf_syslog_log_t>(setting.has_ident() ? setting.ident().c_str() : nullptr,
                                                   syslog_facility(setting.facility()));
    case nx::Log::FILE: return make_file_sink(setting.path());
    case nx::Log::STDERR:
        if (setting.show_timestamp())
            return boost::make_shared<cf_file_log_t>(STDERR_FILENO, false);
        return boost::make_shared<cf_console_log_t>();
    default: return cf_log_ptr();
    }
}
