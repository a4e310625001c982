#define _GNU_SOURCE
#include "reference_reader.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int reference_open(const char* dir)
{
    int group = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (group < 0)
        return -1;
    if (fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE, AT_FDCWD,
                      dir) != 0) {
        close(group);
        return -1;
    }
    return group;
}

void reference_run(int group, unsigned long long marker, struct reference_counts* counts)
{
    struct fanotify_event_metadata buffer[4096 / sizeof(struct fanotify_event_metadata)];
    char link[32];
    char path[4096];
    int done = 0;
    while (!done) {
        ssize_t got = read(group, buffer, sizeof buffer);
        if (got <= 0)
            continue;
        struct fanotify_event_metadata* event = buffer;
        int seen = 0;
        for (; FAN_EVENT_OK(event, got); event = FAN_EVENT_NEXT(event, got)) {
            if (event->mask & FAN_Q_OVERFLOW)
                ++counts->overflows;
            if (event->fd < 0)
                continue;
            struct stat st;
            if (fstat(event->fd, &st) == 0 && S_ISREG(st.st_mode)) {
                snprintf(link, sizeof link, "/proc/self/fd/%d", event->fd);
                if (readlink(link, path, sizeof path) > 0) {
                    if (st.st_ino == marker) {
                        done = 1;
                    } else {
                        ++counts->events;
                        seen = 1;
                    }
                }
            }
            close(event->fd);
        }
        if (seen) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            counts->last_event = now.tv_sec + now.tv_nsec / 1e9;
        }
    }
}
