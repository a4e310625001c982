// A message as Ostrand sends it, handled as the Ostrand link handles it up
// to the point where it would act on the system: the body parsed without
// the required-field check; for a context, its configuration dumped, its
// log setting and flow options derived and its process list read; for
// Kestrum's address, the reported error turned into the daemon's error and
// text, or the address into a socket endpoint.
// Properties: the parse never fails the handling (a missing tag or field
// reads as its default); the body cut at every byte is read with the fields
// before the cut only (the fields of the longest prefix that parses whole,
// so no value is made up from bytes past the cut); and the flow options
// derived from the configuration are whole messages carrying its paths in
// order.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "core/config.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "kestrum_client_ipc.pb.h"
#include "links/protobuf_link.hpp"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "support/fuzz_support.hpp"

namespace {

// Cuts tried: every byte of bodies up to this long (each cut costs two
// parses of its prefix), the first this many bytes of longer ones.
constexpr std::size_t max_cut = 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    typedef nx::Ostrand2LinuxTarselMessage message_t;
    // Cuts in order: the longest prefix that parses whole only grows.
    const char* body = reinterpret_cast<const char*>(data);
    message_t whole_prefix;
    std::string expected = whole_prefix.SerializePartialAsString();
    const std::size_t cuts = std::min<std::size_t>(size, max_cut);
    for (std::size_t cut = 0; cut <= cuts; ++cut) {
        if (whole_prefix.ParsePartialFromArray(body, static_cast<int>(cut)))
            expected = whole_prefix.SerializePartialAsString();
        message_t read;
        ts_protobuf_link_t::parse_body(read, body, cut);
        nt_fuzz::check(read.SerializePartialAsString() == expected, "a cut body read with fields past the cut");
    }

    message_t message;
    ts_protobuf_link_t::parse_body(message, body, size);
    switch (message.tag()) {
    case nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE: {
        const nx::LinuxTarselConfig& config = message.config();
        dump_config(config);
        log_to_string(config.actual_log());
        log_level_name(log_level_from_config(config.log_level()));
        std::vector<std::string> included, excluded, processes;
        included_paths(config, included);
        excluded_paths(config, excluded);
        excluded_processes(config, processes);
        ks::FlowOptions options;
        make_flow_options(config, &options);
        nt_fuzz::check(options.IsInitialized(), "flow options with a required field unset");
        nt_fuzz::check(
            std::vector<std::string>(options.included_path().begin(), options.included_path().end()) == included &&
                std::vector<std::string>(options.excluded_path().begin(), options.excluded_path().end()) == excluded,
            "flow options with other paths than the configuration");
        break;
    }
    case nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE:
        if (message.has_error()) {
            const boost::system::system_error error(nx::make_error_code(message.error().code()));
            nt_fuzz::check(error.what() != nullptr, "no text for the error");
            break;
        }
        try {
            boost::asio::local::stream_protocol::endpoint endpoint(message.socket_path());
        } catch (const boost::system::system_error&) {
            // A path longer than a socket address holds: the daemon ends
            // with the connect error.
        }
        break;
    }
    return 0;
}
