#include <fcntl.h>
#include <syslog.h>

#include <cerrno>

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

cf_log_ptr make_file_sink(const std::string& path)
{
    if (!boost::filesystem::path(path).is_absolute())
        throw boost::filesystem::filesystem_error(CF_TEXT_CONTEXT_LOG_OPTION, path,
                                                  nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH));
    // Close-on-exec: children such as modprobe must not inherit the log.
    // Opened non-blocking so that a FIFO nobody reads fails (ENXIO) instead
    // of hanging the daemon; writes then block as usual.
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw boost::filesystem::filesystem_error(CF_TEXT_CONTEXT_LOG_OPEN, path,
                                                  boost::system::error_code(errno, boost::system::system_category()));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return boost::make_shared<cf_file_log_t>(fd, true);
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
