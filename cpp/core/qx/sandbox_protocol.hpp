// The messages between a host, its warm analysis parent and the workers the parent forks.
//
// Two kinds of channel, both AF_UNIX stream sockets:
//   - the control socket, host -> parent: one REQUEST per analysis run. The run's own channel (one
//     end of a socket pair the host made) travels with it as SCM_RIGHTS, so every answer goes
//     straight to the host thread that asked and the parent never routes replies.
//   - the run channel, parent and worker -> host, in this order:
//       STARTED  (parent, after fork)   fields: pid, "1" when the parent created the chart file
//                                               (the host removes it if the run leaves it empty);
//                                               fd: a pidfd of the worker
//       RESULT   (worker, once)         fields: outcome, text, stray stdout, stray stderr,
//                                               missing layers (one "name: reason" a line),
//                                               exit-code type ("none", "int", "str")
//       EXITED   (parent, after reaping) fields: wait status
//     then the channel closes. A worker that dies without RESULT leaves only STARTED and EXITED.
//     A host may stop reading after RESULT: the worker only exits after sending it.
//
// A frame is: u32 length of the rest (little endian), u8 kind, then the fields, each a u32 length
// and its bytes. Numbers travel as decimal text. Frames are bounded (max_frame) so a program that
// writes garbage into its channel cannot make the host allocate without limit.
//
// REQUEST fields: code, "1" when the code is bytes (else "0"), time limit in seconds, address-space
// limit in bytes, chart path ("" for none), "1" when every isolation layer is required, and the
// host's working directory (where relative paths of the program lead, as they would in-process).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::sandbox {

enum class Kind : std::uint8_t { request = 1, started = 2, result = 3, exited = 4 };

struct Message {
    Kind kind = Kind::request;
    std::vector<std::string> fields;
    int fd = -1;  // received: owned by the receiver; sent: borrowed
};

constexpr std::size_t max_frame = std::size_t{1} << 30;

// Sends one frame (and the message's fd, if any). False with errno set when the peer is gone.
bool send_message(int socket, const Message& message);

enum class Received { message, closed, timed_out, malformed };

using Clock = std::chrono::steady_clock;

// Reads one frame, waiting until `deadline` at most (Clock::time_point::max() waits for ever). Any
// descriptor passed with the frame lands in `out.fd` (close-on-exec).
Received receive_message(int socket, Message& out, Clock::time_point deadline);

}  // namespace qx::sandbox
