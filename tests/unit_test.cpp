#include "block.hpp"
#include "count.hpp"
#include "harness.hpp"
#include "writer.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using floodout::Block;
using floodout::parse_count;
using floodout::Put;
using floodout::Shape;
using harness::text_of;

TEST(Count, ReadsLikeStrtolBaseZeroOn32Bits)
{
    struct Case {
        const char* arg;
        std::int32_t seconds;
    };
    const Case cases[] = {
        { "0x1f", 31 },
        { "0X1F", 31 },
        { "017", 15 },
        { "2abc", 2 },
        { "1.5", 1 },
        { "     5", 5 },
        { "\t\n\v\f\r7", 7 },
        { "+4", 4 },
        { "0", 0 },
        { "abc", 0 },
        { "0x", 0 },
        { "0xg", 0 },
        { "", 0 },
        { "-", 0 },
        { "+-3", 0 },
        { "- 3", 0 },
        { "-1", -1 },
        { "08", 0 },
        { "0b101", 0 },
        { "-0x10", -16 },
        { "2147483647", INT32_MAX },
        { "2147483648", INT32_MAX },
        { "99999999999999999999999", INT32_MAX },
        { "0x7fffffffffffffffff", INT32_MAX },
        { "-2147483648", INT32_MIN },
        { "-2147483649", INT32_MIN },
        { "-99999999999999999999999", INT32_MIN },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_count(c.arg), c.seconds) << '"' << c.arg << '"';
    }
    EXPECT_EQ(parse_count(nullptr), 0);
}

TEST(Count, AlarmTakesTheBitsAsUnsigned)
{
    EXPECT_EQ(floodout::alarm_seconds(-1), 4294967295U);
    EXPECT_EQ(floodout::alarm_seconds(INT32_MIN), 2147483648U);
    EXPECT_EQ(floodout::alarm_seconds(31), 31U);
}

// Byte i of the endless repetition of text.
char nth(const std::string& text, std::size_t i)
{
    return text[i % text.size()];
}

bool is_prefix_from(const std::string& text, std::size_t start, const char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != nth(text, start + i)) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t line = 64;

// The page sizes the tables run at: this machine's, and the 16 KiB and
// 64 KiB of many arm64 and all ppc64el kernels.
std::vector<std::size_t> page_sizes()
{
    std::vector<std::size_t> sizes { static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) };
    for (const std::size_t size : { std::size_t { 16384 }, std::size_t { 65536 } }) {
        if (size != sizes[0]) {
            sizes.push_back(size);
        }
    }
    return sizes;
}

std::string page_name(const testing::TestParamInfo<std::size_t>& info)
{
    return "Page" + std::to_string(info.param);
}

class PageSized : public testing::TestWithParam<std::size_t> {
protected:
    const std::size_t page = GetParam();
};
class Layouts : public PageSized { };
class BlockOfRepetitions : public PageSized { };
class Writer : public PageSized { };

// True when the block's bytes are the endless repetition from index 0.
bool repeats_text(const Block& block, const std::string& text)
{
    for (std::size_t i = 0; i < block.layout().size; ++i) {
        if (block.data()[i] != text[i % text.size()]) {
            return false;
        }
    }
    return true;
}

TEST_P(Layouts, StartAlignedAndSmallThenGiveUpHugePagesThePeriodAndLengthDownToOneText)
{
    for (const std::size_t n : std::initializer_list<std::size_t> { 1, 12, 64, 100, 4096, 4097, 131071 }) {
        floodout::Layout l[24];
        const std::size_t count = floodout::layouts(n, page, l, 24);
        ASSERT_GE(count, 4U) << n;
        EXPECT_EQ(l[0].period, std::lcm(n, line)) << n;
        EXPECT_TRUE(l[0].huge_pages) << n;
        EXPECT_EQ(l[0].size % (2U << 20), 0U) << n;
        // One period, 16 pages to start at other offsets and about 2 MiB to
        // reach, in whole huge pages: 10 MiB at most with 4 KiB pages.
        const std::size_t huge = 2U << 20;
        EXPECT_LE(l[0].size, (l[0].period + 16 * page + 2 * huge - 1) / huge * huge) << n;
        EXPECT_GE(l[0].size - l[0].start_bound, 1U << 20) << n; // every piece can fill a 1 MiB pipe
        EXPECT_FALSE(l[1].huge_pages) << n;
        EXPECT_EQ(l[1].period, l[0].period) << n;
        EXPECT_EQ(l[2].period, n) << n;
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_GE(l[i].start_bound, l[i].period) << n;
            EXPECT_GT(l[i].size, l[i].start_bound - 1) << n;
            EXPECT_EQ(l[i].period % n, 0U) << n;
            if (i > 0) {
                EXPECT_LE(l[i].size, l[i - 1].size) << n << " layout " << i;
            }
        }
        EXPECT_EQ(l[count - 1].size, (n + page - 1) / page * page) << n; // one text's pages
        EXPECT_EQ(l[count - 1].start_bound, n) << n;
    }
    EXPECT_EQ(floodout::layouts(0, page, nullptr, 0), 0U);
}

TEST_P(BlockOfRepetitions, HoldsTheRepetitionAtEverySizeItShrinksTo)
{
    for (const std::size_t n : std::initializer_list<std::size_t> { 1, 2, 12, 255, 4097, 131071 }) {
        const std::string text = text_of(n);
        // From the full layout down to one text, by capping the memory.
        for (const std::size_t cap : { floodout::unbounded, std::size_t { 3 } << 20, 3 * n + 5000, n }) {
            const Block block = Block::make(text, page, cap);
            ASSERT_FALSE(block.empty()) << n << " in " << cap;
            EXPECT_LE(block.layout().size, std::max(cap, (n + page - 1) / page * page)) << n;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data()) % page, 0U) << n;
            EXPECT_TRUE(repeats_text(block, text)) << n << " in " << cap;
        }
    }
    EXPECT_TRUE(Block::make("", page).empty());
    // A cap below one text still gets the one text's pages, the least that works.
    const Block least = Block::make("abc", page, 2);
    ASSERT_FALSE(least.empty());
    EXPECT_EQ(least.layout().size, page);
    EXPECT_TRUE(repeats_text(least, "abc"));
}

TEST_P(BlockOfRepetitions, StartsAtTheSamePhaseNearestTheOffsetAsked)
{
    for (const std::size_t n : std::initializer_list<std::size_t> { 1, 12, 100, 4097 }) {
        const Block block = Block::make(text_of(n), page);
        ASSERT_FALSE(block.empty());
        const std::size_t period = block.layout().period;
        for (const std::size_t index :
            std::initializer_list<std::size_t> { 0, 1 * line, 5000, period + 3 * line }) {
            for (const std::size_t offset :
                std::initializer_list<std::size_t> { 0, block.mark(), page - line }) {
                const std::size_t at = block.nearest_start(index, offset);
                EXPECT_LT(at, block.layout().start_bound);
                EXPECT_EQ(at % period, index % period);
                if (std::uint64_t { period } / std::gcd(period, page) * page <= block.layout().start_bound) {
                    // Every page offset of the phase fits: the one in the asked cache line.
                    EXPECT_EQ(at % page, offset + index % line) << n;
                }
            }
        }
    }
    EXPECT_EQ(Block::make("x", page).mark(), page / 2);
}

// An output that follows a script, one entry per put: a positive entry takes
// at most that many bytes, a negative one fails with that -errno. It records
// where in the block each piece came from.
class ScriptedOutput {
public:
    ScriptedOutput(const Block& block, std::deque<ssize_t> script, std::size_t reach = 1U << 20,
        std::size_t grain = 0, std::size_t span = floodout::unbounded)
        : block_(block)
        , script_(std::move(script))
    {
        shape_.reach = reach;
        shape_.grain = grain;
        shape_.span = span;
    }

    Put put(const char* data, std::size_t size)
    {
        if (size == 0) {
            empty_offers++;
        }
        ssize_t n = static_cast<ssize_t>(size);
        if (!script_.empty()) {
            n = script_.front() < 0 ? script_.front() : std::min(n, script_.front());
            script_.pop_front();
        }
        if (n > 0) {
            const auto index = static_cast<std::size_t>(data - block_.data());
            if (index % line != position % line) {
                misaligned++;
            }
            if (index % block_.text_size() != position % block_.text_size()) {
                misphased++; // the block holds the repetition, so this is the content check
            }
            // Where the piece offered would end: at the mark, or with a
            // grain at a multiple of it in the stream.
            const bool marked = shape_.grain == 0 ? (index + size) % block_.page() == block_.mark()
                                                  : (position + size) % shape_.grain == 0;
            if (!marked || size > shape_.reach) {
                unmarked_ends++;
            }
            starts.push_back(index % block_.page());
            farthest = std::max(farthest, index + size);
            if (keep) {
                received.append(data, static_cast<std::size_t>(n));
            }
            position += static_cast<std::size_t>(n);
        }
        return n >= 0 ? Put::of(n) : Put::after(static_cast<int>(-n));
    }
    bool wait_writable()
    {
        ++waits;
        return drain_next_check;
    }
    [[nodiscard]] Shape shape() const { return shape_; }
    void back_off() { ++back_offs; }

    bool keep = true; // the bytes received, not only where they came from
    std::string received;
    std::size_t position = 0; // in the stream
    std::vector<std::size_t> starts; // page offset of each piece that was taken
    std::size_t farthest = 0; // the highest block index a piece offered reached
    int misaligned = 0;
    int misphased = 0;
    int unmarked_ends = 0;
    int empty_offers = 0;
    int waits = 0;
    int back_offs = 0;
    bool drain_next_check = false;

private:
    const Block& block_;
    std::deque<ssize_t> script_;
    Shape shape_;
};

TEST_P(Writer, ResumesAtTheExactByteAfterEveryKindOfStop)
{
    struct Case {
        const char* name;
        std::deque<ssize_t> script;
        int waits;
        int back_offs;
    };
    const Case cases[] = {
        { "whole pieces", {}, 0, 0 },
        { "short counts", { 1, 2, 3, 5, 7, 11, 13, 4096, 1 }, 0, 0 },
        { "EINTR", { 3, -EINTR, 4, -EINTR, -EINTR, 1 }, 0, 0 },
        { "EAGAIN", { 5, -EAGAIN, 2, -EAGAIN, 9 }, 2, 0 },
        { "hard errors", { -EPIPE, 1, -ENOSPC, -EBADF, 6, -EIO }, 0, 4 },
        { "nothing taken", { 0, 2, 0 }, 0, 2 },
    };
    const std::string text = "The quick brown fox\t\xff\n";
    const Block block = Block::make(text, page);
    ASSERT_FALSE(block.empty());
    for (const auto& c : cases) {
        ScriptedOutput out(block, c.script, 100000);
        floodout::Writer writer(block, out);
        for (std::size_t i = 0; i < c.script.size() + 40; ++i) {
            writer.step();
        }
        EXPECT_TRUE(is_prefix_from(text, 0, out.received.data(), out.received.size())) << c.name;
        EXPECT_EQ(out.misphased, 0) << c.name;
        EXPECT_EQ(writer.offset(), out.received.size() % text.size()) << c.name;
        EXPECT_GE(out.received.size(), 40 * (100000 - page)) << c.name;
        EXPECT_EQ(out.waits, c.waits) << c.name;
        EXPECT_EQ(out.back_offs, c.back_offs) << c.name;
    }
}

// Every byte leaves from an index congruent to its stream position mod 64,
// and every piece ends where the output asks (the mark, or a multiple of its
// grain in the stream), whatever the output does: the property behind the
// speed into pipes, checked here on any CPU. Drives the writer through short
// counts, EINTR and EAGAIN for many texts, each block made once for every
// kind of output (making it is most of the test's time under emulation).
TEST_P(Writer, EveryByteSitsAtItsStreamAlignmentAndPiecesEndWhereTheOutputAsks)
{
    struct Kind {
        const char* name;
        std::size_t reach;
        std::size_t grain;
        std::size_t span = floodout::unbounded;
    };
    const Kind kinds[] = {
        { "a pipe: ends at the mark", (std::size_t { 1 } << 20) - page, 0 },
        { "a TCP socket: ends at whole grains of the stream", std::size_t { 2 } << 20,
            std::max<std::size_t>(page, 32U << 10) },
        // While the CPUs are crowded: pieces from a narrow window of the block.
        { "a narrow span", std::max<std::size_t>(page, 128U << 10), 0,
            std::max<std::size_t>(2 * page, 64U << 10) },
    };
    std::mt19937 random(12345);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 1; n <= 130; ++n) {
        sizes.push_back(n);
    }
    for (const std::size_t n :
        std::initializer_list<std::size_t> { 191, 192, 1000, 4095, 4096, 4097, 65536, 131071 }) {
        sizes.push_back(n);
    }
    for (const std::size_t n : sizes) {
        const std::string text = text_of(n);
        const Block block = Block::make(text, page);
        ASSERT_FALSE(block.empty());
        for (const Kind& k : kinds) {
            std::deque<ssize_t> script;
            std::uniform_int_distribution<int> kind(0, 9);
            std::uniform_int_distribution<ssize_t> count(1, 300000);
            for (int i = 0; i < 60; ++i) {
                const int what = kind(random);
                script.push_back(what == 0 ? -EINTR
                        : what == 1        ? -EAGAIN
                        : what < 5         ? count(random)
                                           : 1 << 30);
            }
            ScriptedOutput out(block, script, k.reach, k.grain, k.span);
            out.keep = false;
            floodout::Writer writer(block, out);
            for (std::size_t i = 0; i < 70; ++i) {
                out.drain_next_check = kind(random) < 3;
                writer.step();
            }
            EXPECT_EQ(out.misphased, 0) << k.name << ", text of " << n;
            EXPECT_EQ(out.misaligned, 0) << k.name << ", text of " << n;
            EXPECT_EQ(out.unmarked_ends, 0) << k.name << ", text of " << n;
            EXPECT_GT(out.position, 20 * std::min<std::size_t>(k.reach, 1U << 20))
                << k.name << ", text of " << n;
            if (k.span != floodout::unbounded) {
                // The pages a reader copies from stay within the span and one piece.
                EXPECT_LE(out.farthest, block.layout().start_bound + k.span + k.reach)
                    << k.name << ", text of " << n;
            }
        }
    }
}

// Also after a first piece went out some other way: the stream goes on
// from its position, exactly.
TEST_P(Writer, StartsAtTheMarkAndAgainAfterTheReaderEmptiedThePipe)
{
    for (const std::size_t n : std::initializer_list<std::size_t> { 1, 12, 100 }) {
        const std::string text = text_of(n);
        const Block block = Block::make(text, page);
        for (const std::size_t start : { std::size_t { 0 }, page - 5 }) {
            // EAGAIN after a piece cut short: the reader drains, the next piece is its next read.
            ScriptedOutput out(block, { 5000, -EAGAIN, 70000, 1 << 30 });
            out.drain_next_check = true;
            out.position = start;
            floodout::Writer writer(block, out, start);
            for (int i = 0; i < 4; ++i) {
                writer.step();
            }
            ASSERT_EQ(out.starts.size(), 3U);
            // Within a cache line of the mark: the stream position fixes the rest.
            const auto near_mark
                = [&](std::size_t at) { return at + line > block.mark() && at < block.mark() + line; };
            EXPECT_TRUE(start != 0 || out.starts[0] == block.mark()) << n;
            EXPECT_TRUE(near_mark(out.starts[0])) << n << " from " << start << ": " << out.starts[0];
            EXPECT_TRUE(near_mark(out.starts[1])) << n << ": " << out.starts[1]; // after the wait
            // Cut short without a wait: the next piece goes straight on.
            EXPECT_EQ(out.starts[2], (out.starts[1] + 70000) % page) << n;
            EXPECT_TRUE(is_prefix_from(text, start, out.received.data(), out.received.size())) << n;
            EXPECT_EQ(writer.position(), out.position) << n;
        }
    }
}

// Every layout layouts() can give, many text sizes, outputs that take
// little or much: each piece offered has at least one byte, so an output
// that takes bytes always gets some, and what it gets is exact; with the
// text's length as the grain, every piece ends a repetition.
TEST_P(Writer, OffersAtLeastOneByteEveryStepAtEveryLayout)
{
    struct Kind {
        std::size_t reach;
        std::size_t grain; // 0 with `datagrams`: the text's length
        bool datagrams; // every piece must end a repetition, as a datagram output needs
        std::size_t span = floodout::unbounded;
    };
    const Kind kinds[] = { { (std::size_t { 1 } << 20) - page, 0, false },
        { std::size_t { 2 } << 20, 32U << 10, false }, { page, 0, false }, { 100, 64, false },
        { floodout::unbounded, 0, true }, { 128U << 10, 0, false, 2 * page }, { page, 0, false, 1 } };
    std::mt19937 random(2024);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<ssize_t> count(1, 70000);
    for (const std::size_t n : std::initializer_list<std::size_t> { 1, 2, 3, 5, 12, 63, 64, 65, 127, 128,
             1000, 2048, 4095, 4096, 4097, 8192, 65535, 65536, 131071 }) {
        const std::string text = text_of(n);
        floodout::Layout layouts[24];
        const std::size_t layout_count = floodout::layouts(n, page, layouts, 24);
        for (std::size_t i = 0; i < layout_count; ++i) {
            const Block block = Block::lay_out(text, page, layouts[i]);
            ASSERT_FALSE(block.empty()) << n << " layout " << i;
            for (const Kind& k : kinds) {
                std::deque<ssize_t> script;
                int accepting = 0;
                for (int step = 0; step < 200; ++step) {
                    const int what = kind(random);
                    script.push_back(what == 0 ? -EINTR
                            : what == 1        ? -EAGAIN
                            : what < 6         ? count(random)
                                               : 1 << 30);
                    accepting += script.back() > 0 ? 1 : 0;
                }
                ScriptedOutput out(block, script, k.reach, k.datagrams ? n : k.grain, k.span);
                out.keep = false;
                floodout::Writer writer(block, out);
                for (int step = 0; step < 200; ++step) {
                    out.drain_next_check = kind(random) < 3;
                    writer.step();
                }
                EXPECT_EQ(out.empty_offers, 0) << n << " layout " << i << " reach " << k.reach;
                EXPECT_GE(out.position, static_cast<std::size_t>(accepting)) << n << " layout " << i;
                EXPECT_EQ(out.misphased, 0) << n << " layout " << i;
                if (k.datagrams) {
                    EXPECT_EQ(out.unmarked_ends, 0)
                        << n << " layout " << i << ": a piece ends mid-repetition";
                }
            }
        }
    }
}

// Preconditions are checked where NDEBUG is off, as in the asan and fuzz
// presets: a piece asked for past the block's end stops the program there.
TEST(BlockDeathTest, APiecePastTheBlocksEndFailsAnAssert)
{
#ifdef NDEBUG
    GTEST_SKIP() << "built with NDEBUG: asserts are off";
#endif
    const Block block = Block::make("abc", 4096);
    const std::size_t end = block.layout().size;
    EXPECT_DEATH((void)block.piece(end, end, Shape {}), "index < layout_.size");
}

INSTANTIATE_TEST_SUITE_P(Pages, Layouts, testing::ValuesIn(page_sizes()), page_name);
INSTANTIATE_TEST_SUITE_P(Pages, BlockOfRepetitions, testing::ValuesIn(page_sizes()), page_name);
INSTANTIATE_TEST_SUITE_P(Pages, Writer, testing::ValuesIn(page_sizes()), page_name);

} // namespace
