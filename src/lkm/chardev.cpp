#include "lkm/chardev.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/lkm_texts.hpp"

ts_chardev_t::ts_chardev_t(const boost::filesystem::path& path, unsigned major, unsigned minor)
    : path_(path)
{
    boost::filesystem::remove(path_);
    if (::mknod(path_.c_str(), S_IFCHR | 0400, makedev(major, minor)) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), TS_TEXT_LKM_MKNOD_FAILED);
}

ts_chardev_t::~ts_chardev_t()
{
    try {
        boost::system::error_code error;
        boost::filesystem::remove(path_, error);
        if (error)
            NT_LOG(LOG_WARNING_LEVEL, TS_TEXT_LKM_NODE_NOT_REMOVED << path_.string() << ": " << error.message());
    } catch (...) {
        // Out of memory while reporting: nothing more can be done here.
    }
}

int ts_open_device(const std::string& path, int flags)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}
