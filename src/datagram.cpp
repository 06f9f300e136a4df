#include "datagram.hpp"

#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace floodout {
namespace {

// The most one UDP message may carry over IPv4 (65535 less the IP and UDP
// headers); over IPv6 a little less, which EMSGSIZE teaches.
constexpr std::size_t udp_most = 65507;

} // namespace

DatagramOutput::DatagramOutput(int fd, std::size_t text_size, bool udp) noexcept
    : fd_(fd)
    , text_size_(text_size)
{
    // Kernels before 4.18 ignore a control message they do not know and
    // would send one long datagram: ask first whether this one knows it.
    int size = 0;
    socklen_t length = sizeof size;
    if (udp && 2 * text_size <= udp_most && getsockopt(fd, SOL_UDP, UDP_SEGMENT, &size, &length) == 0) {
        segments_ = std::min(most_segments, udp_most / text_size);
    }
}

std::size_t DatagramOutput::cap(std::size_t rest) const noexcept
{
    if (rest < smallest_refused_) {
        return rest;
    }
    if (largest_ok_ + 1 >= smallest_refused_) {
        return std::max<std::size_t>(largest_ok_, 1);
    }
    // Halfway between what was taken and what was refused.
    return largest_ok_ + (smallest_refused_ - largest_ok_) / 2;
}

void DatagramOutput::segmented(std::size_t i, const char* data, std::size_t count) noexcept
{
    // sendmmsg only reads the data, but its iovec is not const.
    pieces_[i]
        = { const_cast<char*>(data), count * text_size_ }; // NOLINT(cppcoreguidelines-pro-type-const-cast)
    msghdr& header = messages_[i].msg_hdr;
    header.msg_control = controls_[i];
    header.msg_controllen = sizeof controls_[i];
    cmsghdr* control = CMSG_FIRSTHDR(&header);
    control->cmsg_level = SOL_UDP;
    control->cmsg_type = UDP_SEGMENT;
    control->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto datagram = static_cast<std::uint16_t>(text_size_);
    std::memcpy(CMSG_DATA(control), &datagram, sizeof datagram);
}

Put DatagramOutput::put(const char* data, std::size_t size) noexcept
{
    const std::size_t n = text_size_;
    auto at = static_cast<std::size_t>(taken_ % n); // in its repetition
    std::size_t count = 0;
    for (std::size_t offered = 0; count < batch && offered < size; ++count) {
        const std::size_t left = size - offered;
        msghdr& header = messages_[count].msg_hdr;
        header = {};
        header.msg_iov = &pieces_[count];
        header.msg_iovlen = 1;
        if (segments_ > 1 && at == 0 && left >= 2 * n) {
            segmented(count, data + offered, std::min(segments_, left / n));
        } else {
            const std::size_t length = std::min({ n - at, left, cap(n - at) });
            pieces_[count] = { const_cast<char*>(data + offered), length }; // NOLINT
            if (length < n - at && length < left && largest_ok_ + 1 < smallest_refused_) {
                ++count; // a length still being learnt: one such datagram a call
                break;
            }
        }
        offered += pieces_[count].iov_len;
        at = (at + pieces_[count].iov_len) % n;
    }
    const int sent = sendmmsg(fd_, messages_, static_cast<unsigned>(count), 0);
    if (sent <= 0) {
        return after_failure(
            sent < 0 ? errno : EAGAIN, pieces_[0].iov_len, messages_[0].msg_hdr.msg_control != nullptr);
    }
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(sent); ++i) {
        const bool cut = messages_[i].msg_hdr.msg_control != nullptr;
        largest_ok_ = std::max(largest_ok_, cut ? n : pieces_[i].iov_len);
        bytes += pieces_[i].iov_len;
    }
    taken_ += bytes;
    return Put::moved(bytes);
}

Put DatagramOutput::after_failure(int error, std::size_t first_length, bool first_segmented) noexcept
{
    if (first_segmented && error == EMSGSIZE) {
        // More than one message may carry here (IPv6 headers are longer).
        segments_ = segments_ > 2 ? segments_ - 1 : 0;
        return Put::again();
    }
    if (first_segmented && (error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP)) {
        // Refused where the datagram is longer than the route's MTU, or the
        // device cannot checksum for us: one datagram a message, then.
        segments_ = 0;
        return Put::again();
    }
    if (error == EMSGSIZE) {
        smallest_refused_ = std::min(smallest_refused_, first_length);
        if (largest_ok_ >= smallest_refused_) {
            largest_ok_ = 0; // the limit fell (a smaller buffer or MTU): learn it again
        }
        return smallest_refused_ > 1 ? Put::again() : Put::after(EMSGSIZE);
    }
    if (error == ECONNREFUSED) {
        // An earlier datagram found nobody listening; this one was not sent.
        // Go on at once, so that a receiver that starts listening gets
        // messages at once.
        return Put::again();
    }
    return Put::after(error);
}

} // namespace floodout
