#include "core/inventory.hpp"
#include "core/core_texts.hpp"
#include "util/main_thread.hpp"

#include <csignal>

#include <boost/bind/bind.hpp>

#include "error.pb.h"
#include "links/kestrum.hpp"
#include "links/ostrand_tie.hpp"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "monitor/file_monitor.hpp"

ts_inventory_t& ts_inventory_t::instance()
{
    static ts_inventory_t inventory;
    return inventory;
}

ts_inventory_t::ts_inventory_t()
    : hangup_signals_(io_service_, SIGHUP)
    , termination_signals_(io_service_, SIGTERM, SIGINT)
{
    ostrand_.reset(new ts_ostrand_tie_t(this));
    config_.reset(new nx::LinuxTarselConfig);
    // Before the file monitor: its constructor connects to the flow-ready signal.
    kestrum_.reset(new ts_kestrum_t(this));
    file_monitor_.reset(new ts_file_monitor_t(this));
    wait_hangup();
    wait_termination();
}

ts_inventory_t::~ts_inventory_t() {}

void ts_inventory_t::wait_hangup()
{
    hangup_signals_.async_wait(boost::bind(&ts_inventory_t::on_hangup, this, boost::placeholders::_1));
}

void ts_inventory_t::wait_termination()
{
    termination_signals_.async_wait(boost::bind(&ts_inventory_t::on_termination, this, boost::placeholders::_1));
}

void ts_inventory_t::on_hangup(const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    if (error)
        return;
    NT_LOG(LOG_NOTICE_LEVEL, TS_TEXT_SIGHUP_ARRIVED);
    ostrand_->send_context_request();
    wait_hangup();
}

void ts_inventory_t::on_termination(const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    if (error)
        return;
    NT_LOG(LOG_NOTICE_LEVEL, TS_TEXT_TERMINATION_RECEIVED);
    throw nx::EC_APP_TERMINATED;
}
