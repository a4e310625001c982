// The daemon's link to Ostrand over the inherited, already connected socket.
// It never reconnects: any failure on it ends the daemon.
#pragma once

#include <cstdint>

#include <boost/enable_shared_from_this.hpp>
#include <boost/signals2/connection.hpp>

#include "links/protobuf_link.hpp"

namespace nx {
class Ostrand2LinuxTarselMessage;
class LinuxTarsel2OstrandMessage;
} // namespace nx
class ts_inventory_t;

class ts_ostrand_tie_t : public boost::enable_shared_from_this<ts_ostrand_tie_t>, public ts_protobuf_link_t
{
public:
    explicit ts_ostrand_tie_t(ts_inventory_t* owner);
    ~ts_ostrand_tie_t() override;

    // Adopts the descriptor as a connected stream socket on the inventory's
    // event loop, without checking what it is, and starts reading.
    void start(int descriptor);

    void send_context_request();
    void send_info_notification(std::uint32_t config_revision, int state);
    void send_kestrum_request();
    // The sends above throw boost::system::system_error {ENOBUFS, "Ostrand
    // connection"}, after an Error line, when Ostrand has stopped reading
    // (output past the link's high watermark).

protected:
    void on_message(const char* body, std::size_t size) override;
    // Throws boost::system::system_error with the context "Ostrand connection".
    void on_error(const boost::system::error_code& error) override;
    boost::shared_ptr<ts_protobuf_link_t> shared_link() override;

private:
    void send_to_ostrand(const nx::LinuxTarsel2OstrandMessage& message, int replace_key);
    void dispatch(const nx::Ostrand2LinuxTarselMessage& message);
    // Throws what applying the configuration, configuring the file monitor
    // and connecting to Kestrum throw.
    void on_context_response(const nx::Ostrand2LinuxTarselMessage& message);
    // Throws boost::system::system_error with the reported code when Ostrand
    // answers with an error, and what connecting to Kestrum throws.
    void on_kestrum_response(const nx::Ostrand2LinuxTarselMessage& message);
    void on_ready(std::uint32_t config_revision);

    ts_inventory_t* owner_;
    bool first_context_;
    boost::signals2::connection ready_connection_;
};
