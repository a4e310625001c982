// One observed file access, as the interceptors and the start-up process scan
// hand it to the event queue.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

struct ts_event_t
{
    // Path text of the accessed file, bytes as the producer made them; made
    // once by the producer and never modified, so the event can be handed
    // between threads and copied without copying the text. The queue keeps
    // a compact copy of its own for a path that waits.
    boost::shared_ptr<std::string> path;
    // Process that made the access.
    int pid;

    // The text the queue de-duplicates on: two events are one entry when
    // their path texts are equal byte for byte, whatever their pids.
    // Requires a non-null path.
    const std::string& key() const { return *path; }
};
