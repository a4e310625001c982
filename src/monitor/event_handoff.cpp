#include "monitor/event_handoff.hpp"

#include <iterator>

#include "monitor/event_queue.hpp"
#include "util/main_thread.hpp"

namespace {

// Moves the events of from to the end of to, in order, and leaves from
// empty: by a swap when to is empty, so a whole read or gathering is not
// moved event by event.
void move_append(std::vector<ts_event_t>& to, std::vector<ts_event_t>& from)
{
    if (to.empty())
        to.swap(from);
    else
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    from.clear();
}

} // namespace

boost::shared_ptr<ts_event_handoff_t> ts_event_handoff_t::create(boost::asio::io_service& loop,
                                                                 const boost::shared_ptr<ts_event_queue_t>& queue,
                                                                 std::size_t room)
{
    return boost::shared_ptr<ts_event_handoff_t>(new ts_event_handoff_t(loop, queue, room));
}

ts_event_handoff_t::ts_event_handoff_t(boost::asio::io_service& loop, const boost::shared_ptr<ts_event_queue_t>& queue,
                                       std::size_t room)
    : loop_(loop)
    , queue_(queue)
    , room_(room)
{
    gathered_.reserve(room_);
}

void ts_event_handoff_t::add(std::vector<ts_event_t>& events)
{
    move_append(gathered_, events);
}

void ts_event_handoff_t::flush()
{
    if (gathered_.empty())
        return;
    bool wake = false;
    {
        boost::mutex::scoped_lock lock(mutex_);
        move_append(mailbox_, gathered_);
        wake = !wake_pending_;
        wake_pending_ = true;
    }
    if (wake) {
        try {
            boost::shared_ptr<ts_event_handoff_t> self = shared_from_this();
            loop_.post([self]() { self->push_mailbox(); });
        } catch (...) {
            // What reached the mailbox stays, for the wake of the next flush.
            boost::mutex::scoped_lock lock(mutex_);
            wake_pending_ = false;
            throw;
        }
    }
    // The room may have gone with the swap into the mailbox.
    gathered_.reserve(room_);
}

void ts_event_handoff_t::push_mailbox()
{
    NT_ASSERT_MAIN_THREAD();
    std::vector<ts_event_t> events;
    {
        boost::mutex::scoped_lock lock(mutex_);
        events.swap(mailbox_);
        wake_pending_ = false;
    }
    queue_->push(events);
}
