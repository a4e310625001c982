// The bytes of one fanotify read as the interceptor walks them. The kernel
// opens a descriptor for every record it copies, so the harness does the
// same: each record that the walk will reach and that carries a descriptor
// gets a fresh one, of a regular file, a symbolic link, a directory, a FIFO
// or a device, chosen by the fuzzed descriptor number.
// Properties: every such descriptor is closed exactly once by the walk; the
// events are exactly the accesses to the regular file and the link, in
// record order, with their paths, and none of the daemon's own process.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/event.hpp"
#include "monitor/fanotify.hpp"
#include "support/fuzz_support.hpp"

namespace {

struct object_t
{
    std::string path;
    int flags;
    bool reported;
};

std::vector<object_t>& objects()
{
    static std::vector<object_t> list;
    if (list.empty()) {
        char dir_template[] = "/tmp/nt-fuzz-fanotify-XXXXXX";
        const char* dir = ::mkdtemp(dir_template);
        nt_fuzz::check(dir != nullptr, "mkdtemp");
        const std::string base(dir);
        ::close(::open((base + "/file").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        nt_fuzz::check(::symlink("file", (base + "/link").c_str()) == 0, "symlink");
        nt_fuzz::check(::mkdir((base + "/dir").c_str(), 0700) == 0, "mkdir");
        nt_fuzz::check(::mkfifo((base + "/fifo").c_str(), 0600) == 0, "mkfifo");
        static std::string removed;
        removed = base;
        std::atexit([] {
            for (const char* name : {"/file", "/link", "/fifo"})
                ::unlink((removed + name).c_str());
            ::rmdir((removed + "/dir").c_str());
            ::rmdir(removed.c_str());
        });
        list = {{base + "/file", O_RDONLY, true},
                {base + "/link", O_PATH | O_NOFOLLOW, true},
                {base + "/dir", O_RDONLY | O_DIRECTORY, false},
                {base + "/fifo", O_RDONLY | O_NONBLOCK, false},
                {"/dev/null", O_RDONLY, false}};
    }
    return list;
}

struct expected_t
{
    int fd;
    std::size_t object;
    bool reported;
    int pid;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    if (size > TS_FAN_READ_SIZE)
        return -1; // one read brings no more
    const int own_pid = ::getpid();
    alignas(struct fanotify_event_metadata) char buffer[TS_FAN_READ_SIZE];
    std::memcpy(buffer, data, size);

    // The records the walk reaches, by the same lengths it follows.
    std::vector<expected_t> expected;
    for (std::size_t offset = 0; size - offset >= FAN_EVENT_METADATA_LEN;) {
        struct fanotify_event_metadata record;
        std::memcpy(&record, buffer + offset, sizeof record);
        if (record.event_len < FAN_EVENT_METADATA_LEN || record.event_len > size - offset)
            break;
        if (record.vers != FANOTIFY_METADATA_VERSION) {
            record.fd = FAN_NOFD; // skipped unread: it must hold nothing to close
        } else if (record.fd >= 0) {
            const std::size_t which = static_cast<std::size_t>(record.fd) % objects().size();
            record.fd = ::open(objects()[which].path.c_str(), objects()[which].flags | O_CLOEXEC);
            nt_fuzz::check(record.fd >= 0, "open of an object");
            const bool reported = objects()[which].reported && record.pid != own_pid && !(record.mask & FAN_Q_OVERFLOW);
            expected.push_back(expected_t{record.fd, which, reported, record.pid});
        }
        std::memcpy(buffer + offset, &record, sizeof record);
        offset += record.event_len;
    }

    static const int fd_dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<ts_event_t> events;
    ts_fanotify_t::handle_records(buffer, size, own_pid, events, fd_dir);

    std::size_t next = 0;
    for (const expected_t& record : expected) {
        nt_fuzz::check(::fcntl(record.fd, F_GETFD) == -1 && errno == EBADF, "an event descriptor left open");
        if (!record.reported)
            continue;
        nt_fuzz::check(next < events.size(), "an access not reported");
        nt_fuzz::check(events[next].path && *events[next].path == objects()[record.object].path, "wrong path reported");
        nt_fuzz::check(events[next].pid == record.pid, "wrong pid reported");
        ++next;
    }
    nt_fuzz::check(next == events.size(), "more events than accesses");
    return 0;
}
