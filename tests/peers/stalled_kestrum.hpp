// Peer Kestrum that stalls: it answers the OPEN_FLOW_REQUEST of the one
// connection it accepts and then reads nothing, so that the daemon's writes
// stall once the socket is full. Driven by the test's own thread, without
// waiting.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "peers/frame_io.hpp"
#include "support/temp_dir.hpp"

namespace nt {

class stalled_kestrum_t
{
public:
    stalled_kestrum_t();
    ~stalled_kestrum_t();
    stalled_kestrum_t(const stalled_kestrum_t&) = delete;
    stalled_kestrum_t& operator=(const stalled_kestrum_t&) = delete;

    bool ok() const { return listening_; }
    const std::string& path() const { return socket_path_; }

    // Without waiting: true once the flow was opened.
    bool opened();

    // Refuses whatever the daemon writes from now on (its next write fails
    // with a broken pipe), then takes what it wrote before: the paths of the
    // whole frames, in order. A frame cut off at the end is dropped.
    std::vector<std::string> refuse_and_take();

private:
    temp_dir_t dir_;
    std::string socket_path_;
    int listener_ = -1;
    bool listening_ = false;
    int connection_ = -1;
    std::unique_ptr<frame_reader_t> reader_;
    bool answered_ = false;
};

} // namespace nt
