#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "eventpoll.h"
#include "kernellog.h"
#include "kmsg.h"
#include "process.h"

namespace {

std::string const ESC = "\x1b";

std::string converted(std::vector<std::string> const& pieces) {
    EventPoll poll;
    KernelLog log(poll);
    for (auto const& piece : pieces)
        log.convert(piece.data(), piece.size());
    return log.text();
}

TEST(LogConversion, ColourSequencesBecomeSpansWhoseDigitsFollowTheBits) {
    std::pair<std::string, std::string> const cases[] = {
        {ESC + "[31mError" + ESC + "[0m", "<span style='color: #AA0000'>Error</span>"},
        {ESC + "[91m", "<span style='color: #FF5555'>"},
        {ESC + "[44m", "<span style='background-color: #0000AA'>"},
        {ESC + "[1m", "<span style=''>"},
        {ESC + "[m", "</span>"},
        {"a" + ESC + "[2Kb", "ab"}, // not a colour: dropped, text kept
        {ESC + "[1;31mX", "31mX"},  // only the first number counts
        {"<script>&amp;</script>\n", "&lt;script&gt;&amp;amp;&lt;/script&gt;\n"}, // text is never markup
        {ESC + "[31m<b>" + ESC + "[0m", "<span style='color: #AA0000'>&lt;b&gt;</span>"},
        {ESC + "[32m" + ESC + "[33m", "<span style='color: #00AA00'><span style='color: #AAAA00'>"},
        {ESC + "[99999999999999999999m", "<span style=''>"}}; // endless: neither overflows nor matches
    for (auto const& [in, out] : cases)
        EXPECT_EQ(converted({in}), out) << "input " << in.substr(1);
    // The digits follow the bits of the colour: bit 0 red, bit 1 green, bit 2 blue.
    char const* dim[] = {"000000", "AA0000", "00AA00", "AAAA00", "0000AA", "AA00AA", "00AAAA", "AAAAAA"};
    char const* bright[] = {"555555", "FF5555", "55FF55", "FFFF55", "5555FF", "FF55FF", "55FFFF", "FFFFFF"};
    auto sgr = [](int n) { return converted({ESC + "[" + std::to_string(n) + "m"}); };
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(sgr(30 + c), "<span style='color: #" + std::string(dim[c]) + "'>");
        EXPECT_EQ(sgr(100 + c), "<span style='background-color: #" + std::string(bright[c]) + "'>");
    }
}

TEST(LogConversion, SequenceCutAtAnyByteIsCompletedByTheNextRead) {
    std::string const input =
        "k: " + ESC + "[31m<Error>" + ESC + "[0m &ok " + ESC + "[2K" + ESC + "[104m!" + ESC + "[m";
    std::string const whole = converted({input});
    for (size_t cut = 0; cut <= input.size(); ++cut)
        EXPECT_EQ(converted({input.substr(0, cut), input.substr(cut)}), whole) << "cut at " << cut;
    std::vector<std::string> bytes;
    for (char c : input)
        bytes.emplace_back(1, c);
    EXPECT_EQ(converted(bytes), whole);
}

// The service finds dmesg on its PATH; a script of the test's own stands in for it in the sandbox's /tmp.
void dmesgScript(std::string const& body) {
    script("/tmp/bin/dmesg", body);
    putOnPath("/tmp/bin");
}

// Runs the loop until the pipe hangs up (whether it did) or the deadline passes.
bool followToEnd(EventPoll& poll, KmsgReader const& kmsg) {
    return waitUntil([&] { return poll.wait(50, false), kmsg.waitFor("dmesg exited", 0); });
}

TEST(LogFollowing, ChildStartsWithDefaultSignalsAndItsOutputArrivesConvertedAndHangupWarnsOnce) {
    // The service handles SIGTERM and ignores SIGPIPE; the child must do neither, or stopping it could fail.
    dmesgScript(
        "[ \"$*\" = '--color=always -w' ] || exit 2\ngrep -E '^Sig(Blk|Ign)' /proc/self/status\n"
        "printf '\\033[31mred\\033[0m '\nsleep 0.1\nhead -c 5000 /dev/zero | tr '\\0' x\nprintf '\\033['\n"
        "sleep 0.1\nprintf '32mgreen\\n'\nsleep 0.1\nprintf 'ab\\0cd\\n'"); // a read ends at a NUL
    KmsgReader kmsg;
    EventPoll poll;
    KernelLog log(poll);
    log.init();
    followToEnd(poll, kmsg);
    poll.wait(50, false); // a closed pipe is not reported again
    EXPECT_EQ(
        log.text(),
        "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n<span style='color: #AA0000'>red</span> " +
            std::string(5000, 'x') + "<span style='color: #00AA00'>green\nab");
    auto messages = kmsg.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "dmesg exited, no more log output for web gui."),
              1);
}

TEST(LogFollowing, DestructionStopsAChildThatNeverEndsAndAMissingProgramOnlyHangsUp) {
    dmesgScript("head -c 1000 /dev/zero | tr '\\0' y\ntouch /tmp/written\nexec sleep 1000");
    EventPoll poll;
    auto start = std::chrono::steady_clock::now();
    {
        KernelLog log(poll);
        log.init();
        // Written before the test looks: one readiness takes all that is there, in reads of any size.
        ASSERT_TRUE(waitUntil([] { return access("/tmp/written", F_OK) == 0; }));
        EXPECT_EQ(poll.wait(1000, false), EventPoll::DISPATCHED);
        EXPECT_EQ(log.text(), std::string(1000, 'y'));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    unlink("/tmp/bin/dmesg");
    setenv("PATH", "/tmp/bin", 1); // no dmesg anywhere: the shell fails, the pipe hangs up
    KmsgReader kmsg;
    KernelLog log(poll);
    log.init();
    EXPECT_TRUE(followToEnd(poll, kmsg));
    EXPECT_EQ(log.text(), "");
}

} // namespace
