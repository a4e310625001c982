#include "links/protobuf_link.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>
#include <google/protobuf/message_lite.h>
#include <google/protobuf/wire_format_lite.h>

#include "error/proto_error.hpp"
#include "links/links_texts.hpp"
#include "util/main_thread.hpp"

namespace {

// The most a body read asks for at once.
const std::size_t BODY_READ_STEP = 64 * 1024;

bool is_aborted(const boost::system::error_code& error)
{
    return error == boost::asio::error::operation_aborted;
}

} // namespace

ts_protobuf_link_t::ts_protobuf_link_t(std::size_t watermark)
    : waiting_(new boost::asio::streambuf)
    , in_flight_(new boost::asio::streambuf)
    , high_watermark_(watermark)
{}

ts_protobuf_link_t::~ts_protobuf_link_t() = default;

void ts_protobuf_link_t::parse_body(google::protobuf::MessageLite& message, const char* body, std::size_t size)
{
    // A body read from the socket is at most TS_MAX_FRAME_BODY, well within
    // the int the library takes.
    size = std::min<std::size_t>(size, INT_MAX);
    if (message.ParsePartialFromArray(body, static_cast<int>(size)))
        return;
    // The library reads a value that the body's end cuts off as if zeros
    // followed, and keeps it: "08 a0" would read as tag 32. A parse that
    // succeeds read nothing past its end, so the body is parsed again up to
    // the end of the last of its leading fields that each parse whole; the
    // message so keeps exactly the fields before the failure. Parsing the
    // fields in turn gives what parsing them together does. The fields are
    // found by the library's bounded reader, as its parser reads them.
    google::protobuf::io::CodedInputStream input(reinterpret_cast<const std::uint8_t*>(body), static_cast<int>(size));
    std::unique_ptr<google::protobuf::MessageLite> field(message.New());
    std::size_t kept = 0;
    for (std::uint32_t tag; (tag = input.ReadTag()) != 0;) {
        if (!google::protobuf::internal::WireFormatLite::SkipField(&input, tag))
            break;
        const std::size_t end = static_cast<std::size_t>(input.CurrentPosition());
        if (!field->ParsePartialFromArray(body + kept, static_cast<int>(end - kept)))
            break;
        kept = end;
    }
    message.ParsePartialFromArray(body, static_cast<int>(kept));
}

void ts_protobuf_link_t::start(const ts_socket_ptr& sock)
{
    NT_ASSERT_MAIN_THREAD();
    if (!sock)
        throw std::invalid_argument(TS_TEXT_LINK_NO_SOCKET);
    if (sock == socket_)
        return;
    close();
    socket_ = sock;
    read_header();
}

bool ts_protobuf_link_t::send(const google::protobuf::Message& message, int replace_key, std::size_t* replaced)
{
    NT_ASSERT_MAIN_THREAD();
    if (replaced)
        *replaced = npos;
    if (!socket_)
        return true;
    // Computes and caches the sizes that the serialisation below reuses.
    const std::size_t size = message.ByteSizeLong();
    if (size > static_cast<std::size_t>(INT_MAX))
        throw std::length_error(TS_TEXT_LINK_TOO_LARGE);
    const std::uint32_t header = static_cast<std::uint32_t>(size);
    const std::size_t bytes = sizeof header + size;
    if (replace_key != 0) {
        // Only frames still waiting: one in flight is partly the peer's.
        for (std::size_t i = tracked_.size() - waiting_frames_; i < tracked_.size(); ++i) {
            if (tracked_[i].key == replace_key) {
                remove_waiting(i);
                if (replaced)
                    *replaced = i;
                break;
            }
        }
    }
    const std::size_t unwritten = bytes_not_written();
    if (unwritten != 0 && unwritten + bytes > high_watermark_)
        return false;
    char* frame = static_cast<char*>(waiting_->prepare(bytes).data());
    std::memcpy(frame, &header, sizeof header);
    {
        // Serialised without the required-field check: the header already
        // announces `size` bytes, and exactly that many must follow it.
        google::protobuf::io::ArrayOutputStream array(frame + sizeof header, static_cast<int>(size));
        google::protobuf::io::CodedOutputStream coded(&array);
        message.SerializeWithCachedSizes(&coded);
    }
    waiting_->commit(bytes);
    ++waiting_frames_;
    tracked_.push_back(frame_t{bytes, replace_key});
    start_write();
    return true;
}

void ts_protobuf_link_t::remove_waiting(std::size_t index)
{
    // Rare (a control message sent again while its copy waits), so the
    // waiting bytes are simply copied around the frame.
    std::size_t offset = 0;
    for (std::size_t i = tracked_.size() - waiting_frames_; i < index; ++i)
        offset += tracked_[i].bytes;
    const std::size_t bytes = tracked_[index].bytes;
    std::unique_ptr<boost::asio::streambuf> kept(new boost::asio::streambuf);
    const char* data = static_cast<const char*>(waiting_->data().data());
    const std::size_t total = waiting_->size();
    char* out = static_cast<char*>(kept->prepare(total - bytes).data());
    std::memcpy(out, data, offset);
    std::memcpy(out + offset, data + offset + bytes, total - offset - bytes);
    kept->commit(total - bytes);
    waiting_.swap(kept);
    tracked_.erase(tracked_.begin() + static_cast<std::ptrdiff_t>(index));
    --waiting_frames_;
}

void ts_protobuf_link_t::close()
{
    NT_ASSERT_MAIN_THREAD();
    if (socket_) {
        // Pending operations complete as aborted; their handlers hold the
        // socket object, so it is closed explicitly rather than by release.
        boost::system::error_code ignored;
        socket_->close(ignored);
        socket_.reset();
    }
    waiting_->consume(waiting_->size());
    in_flight_->consume(in_flight_->size());
    waiting_frames_ = 0;
    in_flight_frames_ = 0;
    tracked_.clear();
    written_bytes_ = 0;
}

bool ts_protobuf_link_t::send_queue_empty() const
{
    return waiting_->size() == 0;
}

bool ts_protobuf_link_t::is_open() const
{
    return static_cast<bool>(socket_);
}

void ts_protobuf_link_t::on_frames_written(std::size_t) {}

void ts_protobuf_link_t::on_frames_read(std::size_t) {}

std::size_t ts_protobuf_link_t::bytes_not_written() const
{
    return waiting_->size() + in_flight_->size();
}

void ts_protobuf_link_t::forget_read_frames()
{
    std::size_t written = tracked_.size() - in_flight_frames_ - waiting_frames_;
    if (written == 0)
        return;
    // Bytes written and not yet read by the peer; the kernel counts its
    // buffers' overhead too, so this errs on the side of keeping frames.
    int unread = 0;
    if (::ioctl(socket_->native_handle(), SIOCOUTQ, &unread) != 0 || unread < 0)
        return;
    // A peer that closes throws away what it had not read, and the count
    // falls with it as if it had been read. The kernel marks our end shut
    // before it throws the bytes away, so a look after the count tells
    // whether the count can be trusted.
    pollfd end = {socket_->native_handle(), POLLRDHUP, 0};
    if (::poll(&end, 1, 0) != 0)
        return;
    // The unread bytes are the last ones written: a frame is read once the
    // frames after it cover them.
    std::size_t read = 0;
    while (written > 0 && written_bytes_ - tracked_.front().bytes >= static_cast<std::size_t>(unread)) {
        written_bytes_ -= tracked_.front().bytes;
        tracked_.pop_front();
        --written;
        ++read;
    }
    if (read != 0)
        on_frames_read(read);
}

std::size_t ts_protobuf_link_t::frames_not_written() const
{
    return waiting_frames_ + in_flight_frames_;
}

void ts_protobuf_link_t::start_write()
{
    if (in_flight_->size() != 0 || waiting_->size() == 0)
        return;
    waiting_.swap(in_flight_);
    std::swap(waiting_frames_, in_flight_frames_);
    ts_protobuf_link_ptr self = shared_link();
    ts_socket_ptr on = socket_;
    boost::asio::async_write(
        *socket_, in_flight_->data(),
        [self, on](const boost::system::error_code& error, std::size_t) { self->on_write(on, error); });
}

void ts_protobuf_link_t::on_write(const ts_socket_ptr& written_on, const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    if (written_on != socket_)
        return; // closed or replaced meanwhile
    if (!error) {
        // A composed write succeeds only when it wrote everything.
        written_bytes_ += in_flight_->size();
        in_flight_->consume(in_flight_->size());
        const std::size_t frames = in_flight_frames_;
        in_flight_frames_ = 0;
        // Asked before the next write adds to the socket's count.
        const std::size_t written_frames = tracked_.size() - waiting_frames_;
        if (written_bytes_ >= TS_READ_CHECK_BYTES || written_frames >= TS_READ_CHECK_FRAMES)
            forget_read_frames();
        start_write();
        on_frames_written(frames);
        return;
    }
    if (is_aborted(error))
        return;
    on_error(error);
}

bool ts_protobuf_link_t::read_ended(const ts_socket_ptr& read_on, const boost::system::error_code& error)
{
    if (read_on != socket_)
        return true; // closed or replaced meanwhile
    if (!error)
        return false;
    if (!is_aborted(error))
        on_error(error);
    return true;
}

void ts_protobuf_link_t::read_header()
{
    ts_protobuf_link_ptr self = shared_link();
    ts_socket_ptr on = socket_;
    boost::asio::async_read(
        *socket_, boost::asio::buffer(&length_, sizeof length_),
        [self, on](const boost::system::error_code& error, std::size_t) { self->on_header(on, error); });
}

void ts_protobuf_link_t::on_header(const ts_socket_ptr& read_on, const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    if (read_ended(read_on, error))
        return;
    if (length_ > TS_MAX_FRAME_BODY) {
        on_error(nx::make_error_code(nx::EC_BAD_MESSAGE_SIZE));
        return;
    }
    read_body();
}

void ts_protobuf_link_t::read_body()
{
    // The body is taken in steps, so the buffer grows with the bytes that
    // arrive, not with the length a peer announces: a four-byte header
    // commits no 16 MiB.
    const std::size_t step = std::min<std::size_t>(length_ - incoming_.size(), BODY_READ_STEP);
    ts_protobuf_link_ptr self = shared_link();
    ts_socket_ptr on = socket_;
    boost::asio::async_read(
        *socket_, incoming_.prepare(step),
        [self, on](const boost::system::error_code& error, std::size_t bytes) { self->on_body(on, error, bytes); });
}

void ts_protobuf_link_t::on_body(const ts_socket_ptr& read_on, const boost::system::error_code& error,
                                 std::size_t bytes)
{
    NT_ASSERT_MAIN_THREAD();
    if (read_ended(read_on, error))
        return;
    // `incoming_` holds nothing but this body, in one block of memory.
    incoming_.commit(bytes);
    if (incoming_.size() < length_) {
        read_body();
        return;
    }
    {
        // Drops the body once handled, also when on_message throws.
        struct discard_body
        {
            boost::asio::streambuf& buffer;
            ~discard_body() { buffer.consume(buffer.size()); }
        } discard{incoming_};
        on_message(boost::asio::buffer_cast<const char*>(incoming_.data()), incoming_.size());
    }
    // Go on only on the socket this body came from: on_message may have
    // closed the link, or started another socket with its own read cycle.
    if (read_on == socket_)
        read_header();
}
