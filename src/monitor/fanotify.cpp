#include "monitor/fanotify.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <utility>

#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "log/log.hpp"
#include "monitor/event_handoff.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

// Notification class only: the daemon observes and never answers the kernel.
// Close-on-exec keeps the group and the event descriptors out of the
// programs the daemon runs (modprobe); a non-blocking group lets run drain it
// with reads and wait in poll beside its wake-up descriptor. Event
// descriptors are opened non-blocking so that the kernel's open of a FIFO on
// the reader's behalf never waits for a writer.
const unsigned int init_flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK;
const unsigned int event_flags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK;
const unsigned int mark_flags = FAN_MARK_ADD | FAN_MARK_MOUNT;
const std::uint64_t mark_mask = FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE;
const int back_off_ms = 100;
// A read fails, and the kernel drops that event, when it cannot open the
// event's file for the reader (the /proc file of a process that has exited,
// for one): the next read goes on with the next event. Only reads that keep
// failing, more than this many in a row, are retried at a gentle pace.
const int quick_retries = 16;
// The most records, so the most event descriptors, that one read brings.
const std::size_t records_per_read = TS_FAN_READ_SIZE / FAN_EVENT_METADATA_LEN;
// Events gathered before a hand-over: one short of a batch, and one more
// read's records on top.
const std::size_t gathered_room = TS_BATCH_PATHS - 1 + records_per_read;

// The event descriptors of one read's records, closed once each when the
// walk is over, on every way out of it. The kernel numbers a read's
// descriptors from the lowest free one up, so they mostly make one run of
// consecutive numbers, and a run goes in one close_range: a call per record
// was a third of the system calls of the per-event road. A run holds only
// numbers collected here, so no descriptor of anyone else is in it.
class event_fds_t
{
public:
    event_fds_t() = default;
    event_fds_t(const event_fds_t&) = delete;
    event_fds_t& operator=(const event_fds_t&) = delete;
    ~event_fds_t() { close_all(); }

    void add(int fd)
    {
        if (count_ == records_per_read)
            close_all();
        fds_[count_++] = fd;
    }

    void close_all()
    {
        std::size_t first = 0;
        while (first < count_) {
            std::size_t last = first;
            while (last + 1 < count_ && fds_[last] < INT_MAX && fds_[last + 1] == fds_[last] + 1)
                ++last;
            close_run(first, last);
            first = last + 1;
        }
        count_ = 0;
    }

private:
    void close_run(std::size_t first, std::size_t last)
    {
        if (last > first &&
            close_range(static_cast<unsigned int>(fds_[first]), static_cast<unsigned int>(fds_[last]), 0) == 0)
            return;
        // One descriptor, or a kernel without close_range.
        for (std::size_t i = first; i <= last; ++i)
            ::close(fds_[i]);
    }

    int fds_[records_per_read];
    std::size_t count_ = 0;
};

// The record's descriptor is the caller's to close.
void handle_record(const struct fanotify_event_metadata& record, int own_pid, std::vector<ts_event_t>& out, int fd_dir,
                   std::size_t path_limit)
{
    if (record.pid == own_pid)
        return;
    if (record.mask & FAN_Q_OVERFLOW) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW, "");
        return;
    }
    if (record.fd < 0)
        return;
    // Only the type is asked for: a stat of every field also reads the
    // clock for the times of a file system that keeps them fine-grained.
    struct statx st;
    if (statx(record.fd, "", AT_EMPTY_PATH, STATX_TYPE, &st) != 0) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_STAT_FAILED, strerror(errno));
        return;
    }
    if (!S_ISREG(st.stx_mode) && !S_ISLNK(st.stx_mode))
        return;
    // The link's name, the descriptor in decimal, written from the end of the
    // buffer by hand: a printf costs a visible share of the per-event road.
    static const char proc_fd[] = "/proc/self/fd/";
    char link_buffer[sizeof proc_fd + 16];
    char* link = link_buffer + sizeof link_buffer;
    *--link = '\0';
    unsigned int value = static_cast<unsigned int>(record.fd);
    do {
        *--link = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (fd_dir < 0) {
        link -= sizeof proc_fd - 1;
        memcpy(link, proc_fd, sizeof proc_fd - 1);
    }
    char target[TS_FAN_PATH_SIZE];
    ssize_t length = readlinkat(fd_dir >= 0 ? fd_dir : AT_FDCWD, link, target, path_limit);
    // A target that fills the buffer may have been cut: a truncated path
    // names another file, so it is never forwarded.
    if (length < 0 || static_cast<std::size_t>(length) >= path_limit) {
        if (length < 0)
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_READLINK_FAILED, record.fd);
        else
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_PATH_TOO_LONG, record.fd);
        return;
    }
    ts_event_t event;
    event.path = boost::make_shared<std::string>(target, static_cast<std::size_t>(length));
    event.pid = record.pid;
    out.push_back(std::move(event));
}

} // namespace

void ts_fanotify_t::symbols_closer_t::operator()(void* handle) const
{
    dlclose(handle);
}

void ts_fanotify_t::handle_records(const char* data, std::size_t size, int own_pid, std::vector<ts_event_t>& out,
                                   int fd_dir, std::size_t path_limit)
{
    if (path_limit > TS_FAN_PATH_SIZE)
        path_limit = TS_FAN_PATH_SIZE;
    event_fds_t fds;
    std::size_t offset = 0;
    while (offset < size) {
        struct fanotify_event_metadata record;
        if (size - offset < FAN_EVENT_METADATA_LEN) {
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_BAD_RECORD, "");
            return;
        }
        // Copied out: the buffer gives no alignment guarantee for the record.
        memcpy(&record, data + offset, sizeof record);
        if (record.event_len < FAN_EVENT_METADATA_LEN || record.event_len > size - offset) {
            // Without a trustworthy length the next record cannot be found,
            // and descriptors of this one cannot be told from garbage.
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_BAD_RECORD, "");
            return;
        }
        offset += record.event_len;
        if (record.vers != FANOTIFY_METADATA_VERSION) {
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_BAD_VERSION, "");
            continue;
        }
        if (record.fd >= 0)
            fds.add(record.fd);
        handle_record(record, own_pid, out, fd_dir, path_limit);
    }
}

ts_fanotify_t::ts_fanotify_t(boost::asio::io_service& io, const std::vector<std::string>& mount_points)
    : stop_flag_(false)
    , io_(io)
    , init_(nullptr)
    , mark_(nullptr)
{
    symbols_.reset(dlopen(nullptr, RTLD_LAZY));
    if (!symbols_) {
        const char* error = dlerror();
        throw std::runtime_error(std::string(TS_TEXT_FANOTIFY_DLOPEN) + (error ? error : ""));
    }
    init_ = reinterpret_cast<init_fn_t>(dlsym(symbols_.get(), "fanotify_init"));
    if (init_)
        mark_ = reinterpret_cast<mark_fn_t>(dlsym(symbols_.get(), "fanotify_mark"));
    if (!init_ || !mark_) {
        const char* error = dlerror();
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_FANOTIFY_DLSYM << (error ? error : ""));
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_NO_SYMBOLS), TS_TEXT_CONTEXT_FANOTIFY);
    }

    if (!wake_.valid())
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_INIT_FAILED), TS_TEXT_CONTEXT_FANOTIFY);
    group_.reset(init_(init_flags, event_flags));
    if (!group_.valid())
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_INIT_FAILED), TS_TEXT_CONTEXT_FANOTIFY);

    offer_mount_points(mount_points);
    if (marked_.empty())
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_NO_PATH_ADDED), TS_TEXT_CONTEXT_FANOTIFY);
}

ts_fanotify_t::~ts_fanotify_t() = default;

int ts_fanotify_t::kind() const
{
    return TS_KIND_FANOTIFY;
}

bool ts_fanotify_t::add_path(std::string dir)
{
    if (mark_(group_.get(), mark_flags, mark_mask, AT_FDCWD, dir.c_str()) != 0)
        return false;
    marked_.insert(std::move(dir));
    return true;
}

bool ts_fanotify_t::remove_path(std::string dir)
{
    marked_.erase(dir);
    return true;
}

void ts_fanotify_t::stop()
{
    stop_flag_ = true;
    wake_.signal();
}

bool ts_fanotify_t::wait_readable()
{
    struct pollfd fds[2] = {{group_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    return ready >= 0 || errno == EINTR;
}

void ts_fanotify_t::back_off()
{
    // Ended early by stop, which makes the wake-up descriptor readable.
    struct pollfd wake = {wake_.get(), POLLIN, 0};
    if (poll(&wake, 1, back_off_ms) < 0 && errno != EINTR) {
        struct timespec pause = {0, back_off_ms * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

void ts_fanotify_t::run(boost::shared_ptr<ts_event_queue_t> queue)
{
    const int own_pid = getpid();
    // Opened once: reading each event's link through it spares the kernel a
    // walk of "/proc/self/fd" per event. Without it the full path is used.
    ts_unique_fd_t fd_dir(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Aligned for the records the kernel writes into it.
    alignas(struct fanotify_event_metadata) char buffer[TS_FAN_READ_SIZE];
    // Reads that follow one another at once are gathered and handed over
    // together, a full batch to Kestrum; fewer go as soon as a read finds
    // nothing more waiting. Each hand-over wakes the main thread, and at
    // 50,000 opens/s a read finds a few records that came while the one
    // before was handled, so handing over every read woke it three times as
    // often as the kernel queue ran dry. Both vectors have the room of a
    // whole gathering, since adding a read swaps them.
    const ts_event_handoff_ptr handoff = ts_event_handoff_t::create(io_, queue, gathered_room);
    std::vector<ts_event_t> events;
    events.reserve(gathered_room);
    int failures = 0; // reads failed in a row
    while (!stop_flag_) {
        ssize_t got = ::read(group_.get(), buffer, sizeof buffer);
        if (got > 0) {
            failures = 0;
            handle_records(buffer, static_cast<std::size_t>(got), own_pid, events, fd_dir.get());
            handoff->add(events);
            if (handoff->full())
                handoff->flush();
            continue;
        }
        // Nothing more waits (or the read failed): what the reads before
        // gathered goes now, before the loop waits.
        handoff->flush();
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable())
            continue;
        const int error = got < 0 ? errno : 0;
        if (failures == 0)
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_READ_FAILED,
                         (error ? strerror(error) : TS_TEXT_FANOTIFY_END_OF_FILE));
        if (failures < quick_retries)
            ++failures;
        else
            back_off();
    }
    // Events read before stop were accepted: the queue still gets them.
    handoff->flush();
}
