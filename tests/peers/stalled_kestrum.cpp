#include "peers/stalled_kestrum.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "kestrum_client_ipc.pb.h"
#include "support/unix_socket.hpp"

namespace nt {

stalled_kestrum_t::stalled_kestrum_t()
    : dir_("nt-stalled-")
    , socket_path_(dir_.file("kestrum.sock"))
{
    listener_ = listen_unix(socket_path_, 1);
    listening_ = listener_ >= 0;
}

stalled_kestrum_t::~stalled_kestrum_t()
{
    if (connection_ >= 0)
        ::close(connection_);
    if (listener_ >= 0)
        ::close(listener_);
}

bool stalled_kestrum_t::opened()
{
    if (connection_ < 0) {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection_ < 0)
            return false;
        reader_.reset(new frame_reader_t(connection_));
    }
    if (!answered_) {
        std::string body;
        if (reader_->next(body, std::chrono::milliseconds(0)) != frame_status::ok)
            return false;
        ks::ClientMessage request;
        EXPECT_TRUE(request.ParseFromString(body));
        EXPECT_EQ(request.tag(), ks::ClientMessage::OPEN_FLOW_REQUEST);
        ks::ServerMessage answer;
        answer.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
        answered_ = write_frame(connection_, answer);
    }
    return answered_;
}

std::vector<std::string> stalled_kestrum_t::refuse_and_take()
{
    std::vector<std::string> paths;
    ::shutdown(connection_, SHUT_RD);
    std::string body;
    while (reader_->next(body, std::chrono::milliseconds(0)) == frame_status::ok) {
        ks::ClientMessage message;
        EXPECT_TRUE(message.ParseFromString(body));
        EXPECT_EQ(message.tag(), ks::ClientMessage::FLOW_DATA_NOTIFICATION);
        paths.insert(paths.end(), message.flow_path().begin(), message.flow_path().end());
    }
    ::close(connection_);
    connection_ = -1;
    return paths;
}

} // namespace nt
