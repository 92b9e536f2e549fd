#include "sandbox_protocol.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace qx::sandbox {
namespace {

void put_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

std::uint32_t get_u32(const char* in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

constexpr std::size_t max_fds = 4;

bool write_all(int socket, const char* data, std::size_t size, const std::vector<int>& fds) {
    if (fds.size() > max_fds) {
        errno = EINVAL;
        return false;
    }
    bool with_fds = !fds.empty();
    while (size > 0) {
        iovec vector{const_cast<char*>(data), size};
        msghdr header{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_fds)];
        if (with_fds) {
            std::memset(control, 0, sizeof control);
            header.msg_control = control;
            header.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            cmsghdr* message = CMSG_FIRSTHDR(&header);
            message->cmsg_level = SOL_SOCKET;
            message->cmsg_type = SCM_RIGHTS;
            message->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(message), fds.data(), sizeof(int) * fds.size());
        }
        const ssize_t sent = sendmsg(socket, &header, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        with_fds = false;  // the descriptors ride on the first bytes only
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Waits for readability until the deadline: 1 ready, 0 timed out, -1 error.
int wait_readable(int socket, Clock::time_point deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            timeout = static_cast<int>(std::min<long long>(left + 1, 1 << 30));
        }
        pollfd entry{socket, POLLIN, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready > 0) return 1;
    }
}

enum class Read { done, closed, timed_out };

// Reads exactly `size` bytes, keeping the descriptors that arrive with them (up to max_fds; more
// are closed), or letting the kernel discard them when `fds` is null.
Read read_exact(int socket, char* data, std::size_t size, std::vector<int>* fds, Clock::time_point deadline) {
    while (size > 0) {
        const int ready = wait_readable(socket, deadline);
        if (ready == 0) return Read::timed_out;
        if (ready < 0) return Read::closed;
        iovec vector{data, size};
        msghdr header{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_fds)];
        if (fds != nullptr) {
            header.msg_control = control;
            header.msg_controllen = sizeof control;
        }
        const ssize_t got = recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return Read::closed;
        for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr; message = CMSG_NXTHDR(&header, message)) {
            if (message->cmsg_level != SOL_SOCKET || message->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received;
                std::memcpy(&received, CMSG_DATA(message) + i * sizeof(int), sizeof(int));
                if (fds != nullptr && fds->size() < max_fds) {
                    fds->push_back(received);
                } else {
                    close(received);
                }
            }
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return Read::done;
}

}  // namespace

bool send_message(int socket, const Message& message) {
    std::string frame(4, '\0');
    frame.push_back(static_cast<char>(message.kind));
    for (const std::string& field : message.fields) {
        put_u32(frame, static_cast<std::uint32_t>(field.size()));
        frame += field;
    }
    if (frame.size() - 4 > std::numeric_limits<std::uint32_t>::max()) {
        errno = EMSGSIZE;
        return false;
    }
    const auto length = static_cast<std::uint32_t>(frame.size() - 4);
    for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xff);
    return write_all(socket, frame.data(), frame.size(), message.fds);
}

std::size_t max_result_frame(std::size_t output_limit) {
    const std::size_t texts = std::min<std::size_t>(output_limit, std::size_t{1} << 40) + 2 * stray_limit;
    return 4 * texts + (std::size_t{64} << 10);
}

void close_fds(Message& message) {
    for (int fd : message.fds) close(fd);
    message.fds.clear();
}

namespace {

Received receive_frame(int socket, Message& out, Clock::time_point deadline, Limits limits) {
    std::vector<int>* fds = limits.accept_fds ? &out.fds : nullptr;
    char head[4];
    Read read = read_exact(socket, head, sizeof head, fds, deadline);
    if (read == Read::closed) return Received::closed;
    if (read == Read::timed_out) return Received::timed_out;
    const std::uint32_t length = get_u32(head);
    // Checked before anything is allocated: the length is the sender's claim.
    if (length < 1 || length > limits.max_frame) return Received::malformed;
    std::string body(length, '\0');
    read = read_exact(socket, body.data(), body.size(), fds, deadline);
    if (read == Read::closed) return Received::malformed;
    if (read == Read::timed_out) return Received::timed_out;
    out.kind = static_cast<Kind>(static_cast<unsigned char>(body[0]));
    std::size_t at = 1;
    while (at < body.size()) {
        if (body.size() - at < 4) return Received::malformed;
        const std::uint32_t size = get_u32(body.data() + at);
        at += 4;
        if (body.size() - at < size) return Received::malformed;
        out.fields.emplace_back(body, at, size);
        at += size;
    }
    return Received::message;
}

}  // namespace

Received receive_message(int socket, Message& out, Clock::time_point deadline, Limits limits) {
    out = Message{};
    const Received received = receive_frame(socket, out, deadline, limits);
    if (received != Received::message) close_fds(out);
    return received;
}

}  // namespace qx::sandbox
