#include "block.hpp"
#include "count.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>

namespace {

using floodout::Block;
using floodout::parse_count;

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

TEST(BlockOfRepetitions, EveryWindowIsARunOfTheRepetition)
{
    struct Case {
        std::string text;
        std::size_t capacity;
    };
    const Case cases[] = {
        { "X", std::size_t { 2 } << 20 }, { "ab", 1000 }, { "hello world\n", 1 << 16 },
        { std::string(4096, 'q') + "z", std::size_t { 2 } << 20 },
        { std::string(131070, 'r') + "s", std::size_t { 2 } << 20 },
        { std::string(10, 'a'), 3 }, // below one text: still one whole text
    };
    for (const auto& c : cases) {
        const Block block = Block::make(c.text, c.capacity);
        const std::size_t n = c.text.size();
        ASSERT_FALSE(block.empty());
        EXPECT_EQ(block.text_size(), n);
        EXPECT_EQ(block.window() % n, 0U);
        // The largest window whose every start fits: one more text would not.
        EXPECT_LE(block.window() + n - 1, std::max(c.capacity, 2 * n - 1)) << n;
        EXPECT_GT(block.window() + 2 * n - 1, c.capacity) << n;
        for (const std::size_t start : { std::size_t { 0 }, n / 2, n - 1 }) {
            EXPECT_TRUE(is_prefix_from(c.text, start, block.data() + start, block.window()))
                << n << " bytes from " << start;
        }
    }
}

TEST(BlockOfRepetitions, KeepsEveryByteValue)
{
    std::string text;
    for (int b = 0; b < 256; ++b) {
        text.push_back(static_cast<char>(b));
    }
    const Block block = Block::make(text, 4096);
    ASSERT_FALSE(block.empty());
    EXPECT_TRUE(is_prefix_from(text, 0, block.data(), block.window() + text.size() - 1));
}

TEST(BlockOfRepetitions, EmptyTextGivesNoBlock)
{
    EXPECT_TRUE(Block::make("", 4096).empty());
}

// An output that follows a script, one entry per put: a positive entry takes
// at most that many bytes, a negative one fails with that -errno.
class ScriptedOutput {
public:
    explicit ScriptedOutput(std::deque<ssize_t> script)
        : script_(std::move(script))
    {
    }

    ssize_t put(const char* data, std::size_t size)
    {
        ssize_t n = static_cast<ssize_t>(size);
        if (!script_.empty()) {
            n = script_.front() < 0 ? script_.front() : std::min(n, script_.front());
            script_.pop_front();
        }
        if (n > 0) {
            received.append(data, static_cast<std::size_t>(n));
        }
        return n;
    }
    void wait_writable() { ++waits; }
    void back_off() { ++back_offs; }

    std::string received;
    int waits = 0;
    int back_offs = 0;

private:
    std::deque<ssize_t> script_;
};

TEST(Writer, ResumesAtTheExactByteAfterEveryKindOfStop)
{
    struct Case {
        const char* name;
        std::deque<ssize_t> script;
        int waits;
        int back_offs;
    };
    const Case cases[] = {
        { "whole windows", {}, 0, 0 },
        { "short counts", { 1, 2, 3, 5, 7, 11, 13, 4096, 1 }, 0, 0 },
        { "EINTR", { 3, -EINTR, 4, -EINTR, -EINTR, 1 }, 0, 0 },
        { "EAGAIN", { 5, -EAGAIN, 2, -EAGAIN, 9 }, 2, 0 },
        { "hard errors", { -EPIPE, 1, -ENOSPC, -EBADF, 6, -EIO }, 0, 4 },
        { "nothing taken", { 0, 2, 0 }, 0, 2 },
    };
    const std::string text = "The quick brown fox\t\xff\n";
    const Block block = Block::make(text, 256);
    ASSERT_FALSE(block.empty());
    for (const auto& c : cases) {
        ScriptedOutput out(c.script);
        floodout::Writer writer(block, out);
        for (std::size_t i = 0; i < c.script.size() + 3; ++i) {
            writer.step();
        }
        EXPECT_TRUE(is_prefix_from(text, 0, out.received.data(), out.received.size())) << c.name;
        EXPECT_EQ(writer.offset(), out.received.size() % text.size()) << c.name;
        EXPECT_GE(out.received.size(), 3 * block.window()) << c.name;
        EXPECT_EQ(out.waits, c.waits) << c.name;
        EXPECT_EQ(out.back_offs, c.back_offs) << c.name;
    }
}

} // namespace
