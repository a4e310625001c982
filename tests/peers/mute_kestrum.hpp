// Peer Kestrum that is mute: it accepts one connection and never reads from
// it; the test writes to it by hand. It can also fill its own backlog, so
// that a connection attempt neither succeeds nor fails. Driven by the
// test's own thread, without waiting.
#pragma once

#include <string>
#include <vector>

#include "kestrum_client_ipc.pb.h"
#include "support/temp_dir.hpp"

namespace nt {

class mute_kestrum_t
{
public:
    explicit mute_kestrum_t(int backlog = 4);
    ~mute_kestrum_t();
    mute_kestrum_t(const mute_kestrum_t&) = delete;
    mute_kestrum_t& operator=(const mute_kestrum_t&) = delete;

    bool ok() const { return listening_; }
    const std::string& path() const { return socket_path_; }

    // Connects to itself until the backlog is full: from then on a
    // connection attempt neither succeeds nor fails.
    bool fill_backlog();

    // Without waiting: true once the daemon's connection is accepted.
    bool accepted();

    bool send(ks::ServerMessage::ServerMessageTag tag);

private:
    temp_dir_t dir_;
    std::string socket_path_;
    int listener_ = -1;
    bool listening_ = false;
    int connection_ = -1;
    std::vector<int> fillers_;
};

} // namespace nt
