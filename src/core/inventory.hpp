// The process-wide owner of the daemon's long-lived objects.
#pragma once

#include <memory>

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

namespace nx {
class LinuxTarselConfig;
}
class ts_ostrand_tie_t;
class ts_kestrum_t;
class ts_file_monitor_t;

class ts_inventory_t : boost::noncopyable
{
public:
    // The one inventory; the first call builds it (event loop, signal sets,
    // Ostrand link, empty configuration, Kestrum link, file monitor) and arms
    // both signal waits. Throws what a member's constructor throws; the
    // members built so far are then destroyed and the next call tries again.
    static ts_inventory_t& instance();

    virtual ~ts_inventory_t();

    ts_ostrand_tie_t* ostrand() const { return ostrand_.get(); }
    nx::LinuxTarselConfig* config() const { return config_.get(); }
    ts_kestrum_t* kestrum() const { return kestrum_.get(); }
    ts_file_monitor_t* file_monitor() const { return file_monitor_.get(); }

    // The one event loop, run only by main on the main thread. Declared
    // first, so it is destroyed last.
    boost::asio::io_service io_service_;

private:
    ts_inventory_t();

    void wait_hangup();
    void wait_termination();
    void on_hangup(const boost::system::error_code& error);
    void on_termination(const boost::system::error_code& error);

    boost::shared_ptr<ts_ostrand_tie_t> ostrand_;
    std::unique_ptr<nx::LinuxTarselConfig> config_;
    boost::shared_ptr<ts_kestrum_t> kestrum_;
    std::unique_ptr<ts_file_monitor_t> file_monitor_;
    boost::asio::signal_set hangup_signals_;
    boost::asio::signal_set termination_signals_;
};
