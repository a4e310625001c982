#include "peers/mute_kestrum.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "peers/frame_io.hpp"
#include "support/unix_socket.hpp"

namespace nt {

mute_kestrum_t::mute_kestrum_t(int backlog)
    : dir_("nt-mute-")
    , socket_path_(dir_.file("kestrum.sock"))
{
    listener_ = listen_unix(socket_path_, backlog);
    listening_ = listener_ >= 0;
}

mute_kestrum_t::~mute_kestrum_t()
{
    for (int fd : fillers_)
        ::close(fd);
    if (connection_ >= 0)
        ::close(connection_);
    if (listener_ >= 0)
        ::close(listener_);
}

bool mute_kestrum_t::fill_backlog()
{
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_un address = unix_address(socket_path_);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const bool full = errno == EAGAIN;
            ::close(fd);
            return full;
        }
        fillers_.push_back(fd);
    }
    return false;
}

bool mute_kestrum_t::accepted()
{
    if (connection_ < 0)
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

bool mute_kestrum_t::send(ks::ServerMessage::ServerMessageTag tag)
{
    ks::ServerMessage message;
    message.set_tag(tag);
    return write_frame(connection_, message);
}

} // namespace nt
