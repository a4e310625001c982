#include "monitor/fanotify.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
const unsigned int INIT_FLAGS = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK;
const unsigned int EVENT_FLAGS = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK;
const unsigned int MARK_FLAGS = FAN_MARK_ADD | FAN_MARK_MOUNT;
const std::uint64_t MARK_MASK = FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE;
const int BACK_OFF_MS = 100;
// A read fails, and the kernel drops that event, when it cannot open the
// event's file for the reader (the /proc file of a process that has exited,
// for one): the next read goes on with the next event. Only reads that keep
// failing, more than this many in a row, are retried at a gentle pace.
const int QUICK_RETRIES = 16;
// The most records, so the most event descriptors, that one read brings.
const std::size_t RECORDS_PER_READ = TS_FAN_READ_SIZE / FAN_EVENT_METADATA_LEN;
// Events gathered before a hand-over: one short of a batch, and one more
// read's records on top.
const std::size_t GATHERED_ROOM = TS_BATCH_PATHS - 1 + RECORDS_PER_READ;
// Descriptors left to the rest of the daemon (links, log, mounts watcher,
// modprobe's pipes) when a tight limit makes the reads smaller.
const rlim_t RESERVED_DESCRIPTORS = 16;

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
        if (count_ == RECORDS_PER_READ)
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

    int fds_[RECORDS_PER_READ];
    std::size_t count_ = 0;
};

// What each record's file is asked: see handle_record.
const unsigned int RECORD_STATX_MASK = STATX_TYPE | STATX_NLINK | STATX_INO | TS_STATX_MOUNT_ID;
// What the kernel appends to the link of a file whose name was unlinked.
const char DELETED_SUFFIX[] = " (deleted)";

// True when path, looked up in the daemon's namespace now, is the file st
// describes (a symbolic link as itself).
bool names_file(const char* path, const struct statx& st)
{
    struct statx named;
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO, &named) != 0)
        return false;
    return named.stx_ino == st.stx_ino && named.stx_dev_major == st.stx_dev_major &&
           named.stx_dev_minor == st.stx_dev_minor;
}

// The record's descriptor is the caller's to close.
void handle_record(const struct fanotify_event_metadata& record, int own_pid, std::vector<ts_event_t>& out, int fd_dir,
                   std::size_t path_limit, const ts_mount_ids_t* marked)
{
    if (record.pid == own_pid)
        return;
    if (record.mask & FAN_Q_OVERFLOW) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW, "");
        return;
    }
    if (record.fd < 0)
        return;
    // One question for all the record needs: the type, whether a link is
    // left, and the file and mount it is, which tell a name that still names
    // it. No time is asked for: a stat of the times also reads the clock on
    // a file system that keeps them fine-grained.
    struct statx st;
    if (statx(record.fd, "", AT_EMPTY_PATH, RECORD_STATX_MASK, &st) != 0) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_STAT_FAILED, strerror(errno));
        return;
    }
    if (!S_ISREG(st.stx_mode) && !S_ISLNK(st.stx_mode))
        return;
    // Unlinked before its record was read: the file has no name any more,
    // and the link's text (the old name with " (deleted)") names another
    // file or none.
    if ((st.stx_mask & STATX_NLINK) && st.stx_nlink == 0)
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
    // The link's text names the file in the namespace of the mount it lies
    // on. It is taken as it is when that mount is one of the marked ones,
    // attached in the daemon's namespace, the text lies in the directory the
    // mount was marked through (a detached mount's names start at its own
    // root, also before the mount's removal has reached the interceptor),
    // and the text does not end as the kernel's mark of a name that was
    // unlinked. Otherwise only when the name, looked up now, is still this
    // file: a file whose name was unlinked while it has another link left, a
    // mount detached since, or a real file named so.
    const std::size_t suffix_length = sizeof DELETED_SUFFIX - 1;
    bool doubtful = static_cast<std::size_t>(length) >= suffix_length &&
                    memcmp(target + length - suffix_length, DELETED_SUFFIX, suffix_length) == 0;
    if (!doubtful && marked && statx_mount_id_kind(st) != TS_MOUNT_ID_NONE &&
        !marked->holds(st.stx_mnt_id, target, static_cast<std::size_t>(length)))
        doubtful = true;
    if (doubtful) {
        target[length] = '\0';
        if (!names_file(target, st)) {
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_FANOTIFY_NOT_NAMED << target);
            return;
        }
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
                                   int fd_dir, std::size_t path_limit, const ts_mount_ids_t* marked)
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
        handle_record(record, own_pid, out, fd_dir, path_limit, marked);
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
    group_.reset(init_(INIT_FLAGS, EVENT_FLAGS));
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
    // The mount's identity goes to the walk before the mark does, so that no
    // record of the new mark is taken for one of a mount no longer attached.
    // Unknown, the mount's records cost the walk a lookup of their name.
    struct statx st;
    const bool known = statx(AT_FDCWD, dir.c_str(), AT_NO_AUTOMOUNT, TS_STATX_MOUNT_ID, &st) == 0 &&
                       statx_mount_id_kind(st) != TS_MOUNT_ID_NONE;
    std::map<std::string, std::vector<std::uint64_t>>::iterator found = marked_.find(dir);
    const bool listed = found != marked_.end();
    if (!listed)
        found = marked_.emplace(dir, std::vector<std::uint64_t>()).first;
    // A directory marked again keeps each mount once.
    const bool new_id =
        known && std::find(found->second.begin(), found->second.end(), st.stx_mnt_id) == found->second.end();
    if (new_id) {
        found->second.push_back(st.stx_mnt_id);
        publish_marked();
    }
    if (mark_(group_.get(), MARK_FLAGS, MARK_MASK, AT_FDCWD, dir.c_str()) == 0)
        return true;
    if (!listed)
        marked_.erase(found);
    else if (new_id)
        found->second.pop_back();
    if (new_id)
        publish_marked();
    return false;
}

bool ts_fanotify_t::remove_path(std::string dir)
{
    if (marked_.erase(dir) != 0)
        publish_marked();
    return true;
}

void ts_fanotify_t::publish_marked()
{
    std::vector<ts_mount_ids_t::mount_t> mounts;
    for (std::map<std::string, std::vector<std::uint64_t>>::const_iterator dir = marked_.begin(); dir != marked_.end();
         ++dir)
        for (std::size_t i = 0; i < dir->second.size(); ++i)
            mounts.push_back(ts_mount_ids_t::mount_t(dir->second[i], dir->first));
    std::atomic_store(&marked_ids_,
                      std::shared_ptr<const ts_mount_ids_t>(std::make_shared<ts_mount_ids_t>(std::move(mounts))));
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
    if (poll(&wake, 1, BACK_OFF_MS) < 0 && errno != EINTR) {
        struct timespec pause = {0, BACK_OFF_MS * 1000000L};
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
    const ts_event_handoff_ptr handoff = ts_event_handoff_t::create(io_, queue, GATHERED_ROOM);
    std::vector<ts_event_t> events;
    events.reserve(GATHERED_ROOM);
    const std::size_t read_size = read_size_for(fd_dir.get());
    int failures = 0; // reads failed in a row
    while (!stop_flag_) {
        ssize_t got = ::read(group_.get(), buffer, read_size);
        if (got > 0) {
            failures = 0;
            // Taken after the read: a mark added before it has its mount in.
            const std::shared_ptr<const ts_mount_ids_t> marked = std::atomic_load(&marked_ids_);
            handle_records(buffer, static_cast<std::size_t>(got), own_pid, events, fd_dir.get(), TS_FAN_PATH_SIZE,
                           marked.get());
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
        // Each such read cost an event, so each is told (within the limit).
        if (error == EMFILE || error == ENFILE)
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_NO_DESCRIPTOR, strerror(error));
        else if (failures == 0)
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_READ_FAILED,
                         (error ? strerror(error) : TS_TEXT_FANOTIFY_END_OF_FILE));
        if (failures < QUICK_RETRIES)
            ++failures;
        else
            back_off();
    }
    // Events read before stop were accepted: the queue still gets them.
    handoff->flush();
}

std::size_t ts_fanotify_t::read_size_for(int lowest_free)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return TS_FAN_READ_SIZE;
    // The kernel opens a descriptor for each record it copies into a read;
    // out of descriptors it drops the event, and tells only when no record
    // came before it. A read asks for no more records than descriptors are
    // free, less those the rest of the daemon may take meanwhile, so that
    // none is dropped unseen. The lowest free number counts the descriptors
    // open when the loop starts; -1 means none was free.
    const rlim_t used = lowest_free >= 0 ? static_cast<rlim_t>(lowest_free) : limit.rlim_cur;
    const rlim_t room = limit.rlim_cur > used + RESERVED_DESCRIPTORS ? limit.rlim_cur - used - RESERVED_DESCRIPTORS : 0;
    const std::size_t records = std::max<std::size_t>(1, std::min<rlim_t>(room, RECORDS_PER_READ));
    return records * FAN_EVENT_METADATA_LEN;
}
