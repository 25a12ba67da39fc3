// What the headless commands print: escaping that keeps every name on one line, and the
// default number of workers.
#include <sched.h>

#include <gtest/gtest.h>

#include "Cli.h"

namespace {

TEST(CliOutput, EscapingKeepsEachNameOnOneLine) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain name.bmp", "plain name.bmp"},
        {"a\\b", "a\\\\b"},
        {"l\nc\rt\t", "l\\nc\\rt\\t"},
        {std::string("nul\0", 4) + "\x01\x1f\x7f", "nul\\x00\\x01\\x1F\\x7F"},
        {"写真・©é😀", "写真・©é😀"},  // valid UTF-8 of 2, 3 and 4 bytes
        {"c1 \xC2\x85 \xC2\x9B end \xC2\xA0", "c1 \\xC2\\x85 \\xC2\\x9B end \xC2\xA0"},  // NEL, CSI; NBSP stays
        {"\xFF\xFE", "\\xFF\\xFE"},
        {"stray \x80 lead \xC3", "stray \\x80 lead \\xC3"},       // lone and cut
        {"\xC0\xAF \xE0\x80\xAF", "\\xC0\\xAF \\xE0\\x80\\xAF"},  // overlong forms
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                      // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},             // past U+10FFFF
        {"\xE3\x81", "\\xE3\\x81"},                               // cut at the end
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeForLine(c.in), c.out) << c.in;
}

// The default follows the CPUs this process may use, not the machine's count.
TEST(CliOutput, DefaultJobsFollowTheAffinity) {
    cpu_set_t saved;
    ASSERT_EQ(::sched_getaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(DefaultJobs(), static_cast<unsigned>(CPU_COUNT(&saved)));
    int first = 0;
    while (!CPU_ISSET(first, &saved)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(DefaultJobs(), 1u);
    ::sched_setaffinity(0, sizeof saved, &saved);
}

}  // namespace
