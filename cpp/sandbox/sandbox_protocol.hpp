// The messages between a host, its warm analysis parent and the workers the parent prepares.
//
// Channels, all AF_UNIX stream sockets:
//   - control, host -> parent: one REQUEST per analysis run, carrying (SCM_RIGHTS) the parent's end
//     of the run's lifecycle channel and the worker's end of its data channel.
//   - lifecycle, parent <-> host, one per run. Only the parent holds it, so what arrives on it
//     speaks for the parent: EXITED (fields: wait status) once the worker is reaped and its
//     folder removed, or FAILED (fields: "Type: message") when no worker could run the program.
//     The host never writes on it; shutting down its sending side (or closing it) asks the parent
//     to end the worker now.
//   - order, parent -> worker, one per worker: the REQUEST, with the data channel as its
//     descriptor. The worker closes it before any of the program runs.
//   - data, worker -> host, one per run. Whatever the worker sends is untrusted, since the program
//     shares its process, except the first frame, which is written before the program exists:
//       CONFINED (worker, first)  fields: missing layers (one "name: reason" a line), "1" when the
//                                         program will run ("0": refused, the worker ends)
//       RESULT   (worker, second) fields: outcome, text, characters the program printed, stray
//                                         stdout, stray stderr, exit-code type
//     The host reads it with a size cap and without accepting descriptors, and acts on RESULT only
//     as the program's own outcome: the program could have said the same by printing or raising.
//
// A frame is: u32 length of the rest (little endian), u8 kind, then the fields, each a u32 length
// and its bytes. Numbers travel as decimal text. The reader names the largest frame it accepts
// and allocates nothing before the length has been checked against it.
//
// REQUEST fields: code, "1" when the code is bytes (else "0"), time limit in seconds, address-space
// limit in bytes, chart path ("" for none), "1" when every isolation layer is required, the host's
// working directory (where relative paths of the program lead, as they would in-process), the
// output limit in characters and the run folder's quota in bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::sandbox {

enum class Kind : std::uint8_t { request = 1, result = 3, exited = 4, confined = 5, failed = 6 };

struct Message {
    Kind kind = Kind::request;
    std::vector<std::string> fields;
    std::vector<int> fds;  // received: owned by the receiver; sent: borrowed
};

// The largest frame a host or parent ever sends on a trusted channel.
constexpr std::size_t max_trusted_frame = std::size_t{64} << 20;
// The largest CONFINED frame a host accepts.
constexpr std::size_t max_confined_frame = std::size_t{64} << 10;
// Characters of stray stdout and of stray stderr a worker returns, each.
constexpr std::size_t stray_limit = std::size_t{64} << 10;

// The largest RESULT a host accepts for a run keeping `output_limit` characters: every text at
// its limit, at four bytes a character.
std::size_t max_result_frame(std::size_t output_limit);

// Sends one frame (and the message's descriptors, if any). False with errno set when the peer is
// gone.
bool send_message(int socket, const Message& message);

enum class Received { message, closed, timed_out, malformed };

using Clock = std::chrono::steady_clock;

struct Limits {
    std::size_t max_frame = max_trusted_frame;
    bool accept_fds = true;  // false: descriptors sent along are discarded by the kernel
};

// Reads one frame, waiting until `deadline` at most (Clock::time_point::max() waits for ever).
// Descriptors passed with the frame land in `out.fds` (close-on-exec).
Received receive_message(int socket, Message& out, Clock::time_point deadline, Limits limits = {});

// Closes every descriptor of a received message.
void close_fds(Message& message);

}  // namespace qx::sandbox
