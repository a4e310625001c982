#include "lkm/lkmnotify.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include "error/proto_error.hpp"
#include "lkm/lkm_event_reader.hpp"
#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"
#include "monitor/event_handoff.hpp"

namespace {

// The thread must end normally whatever failed, the log included: an
// exception leaving the thread's body would end the process. The file
// monitor learns of the end from the thread itself.
void report_reader_failure(const std::exception* failure) noexcept
{
    try {
        NT_LOG(LOG_ERROR_LEVEL,
               TS_TEXT_LKM_READER_FAILED << (failure != nullptr ? short_what(*failure)
                                                                : std::string(TS_TEXT_LKM_UNKNOWN_FAILURE)));
    } catch (...) {
        // Nowhere left to report to.
    }
}

} // namespace

ts_lkmnotify_t::ts_lkmnotify_t(boost::asio::io_service& loop, const std::string& device_dir, int major,
                               const std::vector<std::string>& mount_points, const ts_device_opener_t& opener)
    : loop_(loop)
    , control_(loop, boost::filesystem::path(device_dir) / TS_LKM_CONTROL_NODE, major, TS_LKM_CONTROL_MINOR, opener)
    , monitor_node_(boost::filesystem::path(device_dir) / TS_LKM_MONITOR_NODE, major, TS_LKM_MONITOR_MINOR)
    , stop_flag_(false)
{
    monitor_fd_.reset(opener(monitor_node_.path().string(), O_RDONLY));
    if (!monitor_fd_.valid())
        throw boost::system::system_error(errno, boost::system::system_category(), TS_TEXT_LKM_OPEN_MONITOR_FAILED);
    if (!wake_.valid())
        throw boost::system::system_error(wake_.error(), boost::system::system_category(), TS_TEXT_CONTEXT_LKM_EVENTFD);
    offer_mount_points(mount_points);
}

ts_lkmnotify_t::~ts_lkmnotify_t() = default;

void ts_lkmnotify_t::run(boost::shared_ptr<ts_event_queue_t> queue)
{
    try {
        ts_thread_alarm_t alarm;
        // Registered for the length of the loop only: the alarm must not
        // outlive the thread it signals.
        struct registration_t
        {
            ts_lkmnotify_t* self;
            registration_t(ts_lkmnotify_t* owner, ts_thread_alarm_t* alarm)
                : self(owner)
            {
                const boost::mutex::scoped_lock lock(self->alarm_mutex_);
                self->alarm_ = alarm;
            }
            ~registration_t()
            {
                const boost::mutex::scoped_lock lock(self->alarm_mutex_);
                self->alarm_->disarm();
                self->alarm_ = nullptr;
            }
        } registration(this, &alarm);
        ts_lkm_event_reader_t reader(wake_.get());
        reader.assign(monitor_fd_.get());
        // The module gives one event per read, and the reader waits in poll
        // when none is there, so each read's events are handed over at once.
        const ts_event_handoff_ptr handoff = ts_event_handoff_t::create(loop_, queue);
        std::vector<ts_event_t> events;
        while (!stop_flag_) {
            if (!reader.read_events(events))
                continue;
            handoff->add(events);
            handoff->flush();
        }
    } catch (const std::exception& e) {
        report_reader_failure(&e);
    } catch (...) {
        report_reader_failure(nullptr);
    }
}

void ts_lkmnotify_t::stop()
{
    stop_flag_ = true;
    wake_.signal();
    const boost::mutex::scoped_lock lock(alarm_mutex_);
    if (alarm_ != nullptr)
        alarm_->arm(std::chrono::nanoseconds(1), TS_LKM_WAKE_INTERVAL);
}

int ts_lkmnotify_t::kind() const
{
    return TS_KIND_LKM;
}

bool ts_lkmnotify_t::add_path(std::string dir)
{
    return control_.add_dir(dir);
}

bool ts_lkmnotify_t::remove_path(std::string dir)
{
    return control_.del_dir(dir);
}
