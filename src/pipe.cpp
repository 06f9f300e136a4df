#include "pipe.hpp"

#include "pipe_fd.hpp"

namespace floodout {

PipeOutput::PipeOutput(
    int fd, const Block& block, std::size_t pipe_bytes, Load* load, const Schedule& schedule) noexcept
    : fd_(fd)
    , page_(block.page())
    , load_(now_ns() >= 0 ? load : nullptr)
    , pages_(fd, block.page())
    , teed_(fd, block, pipe_bytes)
    , chooser_(first_way(load_, now_ns()), all_moves, schedule)
    , way_(chooser_.chosen())
{
    change_to(way_);
}

std::uint64_t PipeOutput::taken() const noexcept
{
    const int unread = unread_in(fd_);
    const auto held = static_cast<std::uint64_t>(unread > 0 ? unread : 0);
    return position_ > held ? position_ - held : 0;
}

namespace {

// The moves that wait awake.
constexpr unsigned awake_moves
    = move_bit(move_index(Dimension::waiting, static_cast<std::uint8_t>(Waiting::fast)))
    | move_bit(move_index(Dimension::waiting, static_cast<std::uint8_t>(Waiting::emptied)));
constexpr unsigned teed_moves
    = move_bit(move_index(Dimension::source, static_cast<std::uint8_t>(Source::teed)));

} // namespace

Way PipeOutput::first_way(Load* load, std::int64_t now) noexcept
{
    // The narrow window keeps what the reader copies from and into in its
    // cache; alone, a reader that empties the pipe is served best awake.
    // Either way the chooser soon measures what serves this reader.
    if (load == nullptr) {
        return {};
    }
    const Waiting waiting = load->crowded_now(now) ? Waiting::asleep : Waiting::emptied;
    return Way { .waiting = waiting, .window = Window::narrow };
}

void PipeOutput::allow(std::int64_t now) noexcept
{
    unsigned allowed = all_moves;
    unsigned costly = 0;
    // Waiting awake takes a CPU: never with one. While other work waits for
    // a CPU, it may take one that work needs: other floods probe it at the
    // same moment, so their loss shows, but nothing else's does. It must
    // then win by more.
    const bool crowded = load_ != nullptr && load_->crowded(now);
    if (load_ == nullptr) {
        allowed &= ~awake_moves;
    } else if (crowded) {
        costly = awake_moves;
    }
    if (!teed_.usable()) {
        allowed &= ~teed_moves;
    }
    chooser_.allow(allowed, costly, crowded);
}

void PipeOutput::change_to(Way way) noexcept
{
    way_ = way;
    settings_ = settings_of(way, page_);
    pages_.use(settings_);
}

Put PipeOutput::put(const char* data, std::size_t size) noexcept
{
    const std::int64_t now = now_ns();
    allow(now);
    // What the go-between holds goes first: until then the teed way is
    // still the one writing, and the chooser is told so.
    const bool finishing_teed = settings_.teed && teed_.holding();
    const Way next = chooser_.at(
        now, [this] { return taken(); }, !finishing_teed);
    if (next != way_ && !finishing_teed) {
        change_to(next);
    }
    Put put = Put::refused();
    if (settings_.teed) {
        put = teed_.put(data, size, settings_.waiting == Waiting::paced || pages_.nonblocking());
        if (put.status == Put::Status::refused) {
            // Refused, with nothing moved: never again.
            allow(now);
            change_to(chooser_.chosen());
        }
    }
    if (put.status == Put::Status::refused) {
        put = pages_.put(data, size);
    }
    position_ += put.bytes;
    return put;
}

bool PipeOutput::wait_writable() noexcept
{
    if (settings_.waiting == Waiting::paced) {
        return pacer_.wait(fd_);
    }
    return settings_.teed ? wait_until_writable(fd_) : pages_.wait_writable();
}

} // namespace floodout
