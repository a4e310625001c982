// The framed protocol-buffer link that the Ostrand and Kestrum links derive
// from: one connected Unix stream socket, each message one frame of a 32-bit
// body length in host byte order followed by the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

namespace google {
namespace protobuf {
class Message;
class MessageLite;
} // namespace protobuf
} // namespace google

typedef boost::shared_ptr<boost::asio::local::stream_protocol::socket> ts_socket_ptr;

class ts_protobuf_link_t;
typedef boost::shared_ptr<ts_protobuf_link_t> ts_protobuf_link_ptr;

// Largest body of a frame read. A peer that announces more is broken or
// hostile; its frame is refused before anything is allocated for it. Frames
// written are not held to it: what the daemon sends is bounded by what it is
// (the configuration in an OPEN_FLOW_REQUEST), and the peer sized that.
constexpr std::uint32_t TS_MAX_FRAME_BODY = 16u * 1024u * 1024u;

// Output not yet written (in flight and waiting) beyond which the peer is
// taken to have stopped reading: well above the largest message either link
// sends (a configuration read from one frame, so at most about
// TS_MAX_FRAME_BODY), so that only a peer that reads nothing reaches it.
constexpr std::size_t TS_OUTPUT_HIGH_WATERMARK = 4u * TS_MAX_FRAME_BODY;

// After a write, the socket is asked which written frames the peer has read
// only once this many bytes or frames are written and tracked: the question
// costs two system calls, and a frame kept a little longer is at worst sent
// again after a lost connection, never lost.
constexpr std::size_t TS_READ_CHECK_BYTES = 4096;
constexpr std::size_t TS_READ_CHECK_FRAMES = 8;

// Abstract. Everything runs on the thread that runs the socket's io_service
// (the main thread); no lock is taken. The object must be owned by a
// boost::shared_ptr before start or send is called: every pending read and
// write holds shared_link() so the object outlives its completions.
//
// Exceptions thrown by on_message, on_error or on_frames_written leave the
// completion handler and thereby the event loop.
class ts_protobuf_link_t : private boost::noncopyable
{
public:
    // watermark: TS_OUTPUT_HIGH_WATERMARK but in tests.
    explicit ts_protobuf_link_t(std::size_t watermark = TS_OUTPUT_HIGH_WATERMARK);
    virtual ~ts_protobuf_link_t();

    // Parses a received body into message, which then holds exactly the
    // fields read before a failure: a field that the body's end cuts off, or
    // that is malformed, stays unset, as do the fields after it, so no value
    // is made up from bytes the body does not have. The result is not
    // reported: a body is used whatever its parse gave. Never throws but
    // std::bad_alloc.
    static void parse_body(google::protobuf::MessageLite& message, const char* body, std::size_t size);

    // The position of a frame among those tracked (see frames_tracked) that
    // send removed; npos when it removed none.
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // Adopts a connected socket and begins the read cycle. A socket held
    // before is closed (its pending completions then do nothing) and the
    // output not yet written on it is discarded as by close, so the new
    // connection begins with a whole frame and can send at once. Passing the
    // socket already held changes nothing.
    // Throws std::invalid_argument for an empty pointer, std::bad_alloc.
    void start(const ts_socket_ptr& sock);

    // Appends one frame holding the message and writes it as soon as no other
    // write is in flight. Never blocks. On a closed link (no socket) it does
    // nothing: the message is dropped, and the result is true.
    //
    // replace_key: 0, or a key of the caller's for a message of which one
    // copy is enough (a request, the current options): a frame sent with the
    // same key that still waits behind the write in flight is removed first,
    // and its position among the frames tracked goes to *replaced (npos when
    // none was removed), so the new frame takes its turn at the end.
    //
    // False, with nothing appended, when output is already unwritten and
    // this frame would take it past the high watermark: the peer has stopped
    // reading, and the caller takes its road for that.
    // Throws std::length_error for a message of 2 GiB or more (protocol
    // buffers cannot encode it), std::bad_alloc.
    bool send(const google::protobuf::Message& message, int replace_key = 0, std::size_t* replaced = nullptr);

    // Closes the socket and discards all output not yet written, including the
    // rest of a frame partly written, so that a later start begins with a
    // whole frame. Pending completions of the closed socket do nothing.
    // Never throws.
    void close();

    // True when no frame waits behind the write in flight (a write may still
    // be in flight).
    bool send_queue_empty() const;

    // True while a socket is held (between start and close).
    bool is_open() const;

protected:
    // Called once per received frame with its whole body, contiguous and
    // valid only during the call. The body is discarded afterwards, so a
    // malformed one never runs into the next.
    virtual void on_message(const char* body, std::size_t size) = 0;

    // Called once for a failed read or write whose error is not
    // operation-aborted, and with {EC_BAD_MESSAGE_SIZE, "nx.Error"} for a
    // frame longer than TS_MAX_FRAME_BODY. The read cycle ends at a failed
    // read; after a failed write nothing more is written until close.
    virtual void on_error(const boost::system::error_code& error) = 0;

    // A shared pointer to this object (derived links: shared_from_this()).
    virtual ts_protobuf_link_ptr shared_link() = 0;

    // Called after a successful write with the number of whole frames it
    // carried, after the next write (if frames waited) has been started.
    // Frames are written in send order, so a derived class can tell which of
    // its messages reached the socket. Default: nothing.
    virtual void on_frames_written(std::size_t frames);

    // Frames sent but not yet written (in flight and waiting): the last ones
    // sent, which close (or a start that replaces the socket) would drop.
    std::size_t frames_not_written() const;

    // Frames of this connection that the peer may not have read yet, in send
    // order: the written ones still counted in the socket (SIOCOUTQ, asked
    // after a completed write once TS_READ_CHECK_BYTES or
    // TS_READ_CHECK_FRAMES are written and tracked, so what the peer read
    // since then is still counted: never less than what it has not read),
    // then those not yet written. A peer that drops its connection drops what it had not read;
    // a derived class that keeps one record per frame sent, dropping the
    // oldest on_frames_read tells it, knows what that can have been.
    std::size_t frames_tracked() const { return tracked_.size(); }

    // Called after a completed write with the number of the oldest tracked
    // frames that the peer has read. Default: nothing.
    virtual void on_frames_read(std::size_t frames);

    // Bytes sent and not yet written (in flight and waiting).
    std::size_t bytes_not_written() const;

private:
    void start_write();
    void on_write(const ts_socket_ptr& written_on, const boost::system::error_code& error);
    void read_header();
    void on_header(const ts_socket_ptr& read_on, const boost::system::error_code& error);
    void read_body();
    void on_body(const ts_socket_ptr& read_on, const boost::system::error_code& error, std::size_t bytes);
    // True when a read completion must go no further (reporting its error
    // through on_error unless it was aborted).
    bool read_ended(const ts_socket_ptr& read_on, const boost::system::error_code& error);
    // Removes the waiting frame at `index` among the tracked frames.
    void remove_waiting(std::size_t index);
    // Forgets the oldest written frames that the socket no longer holds.
    void forget_read_frames();

    struct frame_t
    {
        std::size_t bytes;
        int key;
    };

    // Completions hold the socket they were started on (a composed operation
    // must not outlive its stream) and compare it with the current one: start
    // may have installed another socket before an old completion runs.
    ts_socket_ptr socket_;
    std::uint32_t length_ = 0;
    boost::asio::streambuf incoming_;
    // Two output buffers swapped by pointer: one write in flight, everything
    // sent meanwhile collected behind it for the next write.
    std::unique_ptr<boost::asio::streambuf> waiting_;
    std::unique_ptr<boost::asio::streambuf> in_flight_;
    std::size_t waiting_frames_ = 0;
    std::size_t in_flight_frames_ = 0;
    // One entry per frame tracked: written and perhaps unread, then in
    // flight, then waiting. Bounded by the socket's send buffer plus what
    // the watermark admits.
    std::deque<frame_t> tracked_;
    std::size_t written_bytes_ = 0; // of the written frames at the front
    std::size_t high_watermark_;
};
