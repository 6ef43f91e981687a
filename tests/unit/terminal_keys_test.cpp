// The terminal byte reader, raw mode and restore, and the key probes on a
// descriptor that is not an input device.

#include "input/evdev_discovery.h"
#include "input/key_probes.h"
#include "input/terminal_keys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

void reset_flags()
{
    g_stdin_space = false;
    g_stdin_latch = false;
    g_stdin_quit = false;
    g_stdin_closed = false;
}

// ---- byte scanner ------------------------------------------------------------

TEST(TerminalBytes, EveryByteValue)
{
    for (int v = 0; v < 256; ++v) {
        const unsigned char b = static_cast<unsigned char>(v);
        const TerminalMarks m = scan_terminal_bytes(&b, 1);
        const bool key = v == 0x60 || v == 0x7E;
        const bool latch = v == 0x7E;
        const bool quit = v == 'q' || v == 'Q' || v == 0x03 || v == 0x1B;
        EXPECT_EQ(m.key, key) << "byte 0x" << std::hex << v;
        EXPECT_EQ(m.latch, latch) << "byte 0x" << std::hex << v;
        EXPECT_EQ(m.quit, quit) << "byte 0x" << std::hex << v;
    }
}

TEST(TerminalBytes, HighBitLookalikesAreNotQuit)
{
    // 0xF1 and 0xD1 share the low bits of 'q' and 'Q' (UTF-8 continuation / lead bytes).
    const unsigned char utf8[] = {0xD1, 0x91, 0xF1, 0xE0, 0xFE, 0xDB};
    const TerminalMarks m = scan_terminal_bytes(utf8, sizeof utf8);
    EXPECT_FALSE(m.quit);
    EXPECT_FALSE(m.key);
    EXPECT_FALSE(m.latch);
}

TEST(TerminalBytes, ChunkMarksCombine)
{
    const unsigned char quit_and_tilde[] = {'a', 'q', 'b', '~', 'c'};
    TerminalMarks m = scan_terminal_bytes(quit_and_tilde, sizeof quit_and_tilde);
    EXPECT_TRUE(m.key);
    EXPECT_TRUE(m.latch);
    EXPECT_TRUE(m.quit);

    const unsigned char arrow_up[] = {0x1B, '[', 'A'};
    m = scan_terminal_bytes(arrow_up, sizeof arrow_up);
    EXPECT_TRUE(m.quit);
    EXPECT_FALSE(m.key);

    m = scan_terminal_bytes(quit_and_tilde, 0);
    EXPECT_FALSE(m.key || m.latch || m.quit);
}

// ---- reader on a pipe standing in for standard input ---------------------------

class StdinPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_stdin_ = dup(0);
        ASSERT_GE(saved_stdin_, 0);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
        ASSERT_EQ(dup2(fds[0], 0), 0);
        close(fds[0]);
        writer_ = fds[1];
        reset_flags();
        g_term_raw = false;
    }

    void TearDown() override
    {
        g_term_raw = false;
        reset_flags();
        if (writer_ >= 0)
            close(writer_);
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
    }

    void send(const std::string& bytes)
    {
        ASSERT_EQ(write(writer_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Bytes still waiting on fd 0 (drains them).
    static long pending()
    {
        char buf[512];
        long total = 0;
        ssize_t n;
        while ((n = read(0, buf, sizeof buf)) > 0)
            total += n;
        return total;
    }

    int saved_stdin_ = -1;
    int writer_ = -1;
};

TEST_F(StdinPipe, ReadsEveryChunkOfALongPaste)
{
    std::string paste(150, 'a');
    paste[100] = 'q';  // in the second 64-byte chunk
    paste[140] = '`';  // in the third
    send(paste);
    g_term_raw = true;

    poll_stdin_keys();

    EXPECT_TRUE(g_stdin_quit);
    EXPECT_TRUE(g_stdin_space);
    EXPECT_FALSE(g_stdin_latch);
    EXPECT_EQ(pending(), 0);
}

TEST_F(StdinPipe, FlagsAreSticky)
{
    g_term_raw = true;
    send("~");
    poll_stdin_keys();
    EXPECT_TRUE(g_stdin_space);
    EXPECT_TRUE(g_stdin_latch);
    EXPECT_FALSE(g_stdin_quit);

    // Nothing new, then only uninteresting bytes: nothing is cleared.
    poll_stdin_keys();
    send("xyz");
    poll_stdin_keys();
    EXPECT_TRUE(g_stdin_space);
    EXPECT_TRUE(g_stdin_latch);
    EXPECT_FALSE(g_stdin_quit);

    // The tick consumes the KEY flags; a later Esc sets only quit.
    g_stdin_space = false;
    g_stdin_latch = false;
    send("\x1b");
    poll_stdin_keys();
    EXPECT_TRUE(g_stdin_quit);
    EXPECT_FALSE(g_stdin_space);
    EXPECT_FALSE(g_stdin_latch);
}

TEST_F(StdinPipe, NothingReadWhileNotRaw)
{
    send("`~q");
    poll_stdin_keys();
    EXPECT_FALSE(g_stdin_space);
    EXPECT_FALSE(g_stdin_latch);
    EXPECT_FALSE(g_stdin_quit);
    EXPECT_EQ(pending(), 3);
}

TEST_F(StdinPipe, ReaderStopsAtEndOfInputAndReadsNoMore)
{
    g_term_raw = true;
    send("`");
    EXPECT_FALSE(g_stdin_closed);
    poll_stdin_keys();
    EXPECT_FALSE(g_stdin_closed);  // open, merely empty
    send("`");
    close(writer_);  // the bytes before the end still count
    writer_ = -1;
    g_stdin_space = false;
    poll_stdin_keys();
    EXPECT_TRUE(g_stdin_space);
    EXPECT_TRUE(g_stdin_closed);
}

TEST_F(StdinPipe, RestoreClearsRawEvenWhenItFails)
{
    // fd 0 is a pipe: tcsetattr fails, yet the terminal counts as restored.
    g_term_raw = true;
    restore_stdin_termios();
    EXPECT_FALSE(g_term_raw);
    restore_stdin_termios();  // second restore does nothing
    EXPECT_FALSE(g_term_raw);
}

TEST_F(StdinPipe, NoRawModeWhenStdinIsNotATerminal)
{
    enter_raw_terminal();
    EXPECT_FALSE(g_term_raw);
}

// ---- raw settings -------------------------------------------------------------

TEST(RawTerminal, SettingsClearOnlyTheChosenBits)
{
    struct termios saved;
    std::memset(&saved, 0, sizeof saved);
    saved.c_lflag = ~tcflag_t(0);
    saved.c_iflag = ~tcflag_t(0);
    saved.c_oflag = OPOST | ONLCR;
    saved.c_cflag = CS8 | CREAD | CLOCAL | B38400;
    saved.c_line = 2;
    for (int i = 0; i < NCCS; ++i)
        saved.c_cc[i] = cc_t(i + 1);

    const struct termios raw = raw_terminal_settings(saved);

    EXPECT_EQ(raw.c_lflag, ~tcflag_t(0x7B));
    EXPECT_EQ(raw.c_iflag, ~tcflag_t(0x1500));
    EXPECT_EQ(raw.c_oflag, saved.c_oflag);
    EXPECT_EQ(raw.c_cflag, saved.c_cflag);
    EXPECT_EQ(raw.c_line, saved.c_line);
    EXPECT_EQ(cfgetospeed(&raw), speed_t(B38400));
    for (int i = 0; i < NCCS; ++i) {
        if (i == VMIN || i == VTIME)
            EXPECT_EQ(raw.c_cc[i], 0) << "c_cc[" << i << "]";
        else
            EXPECT_EQ(raw.c_cc[i], cc_t(i + 1)) << "c_cc[" << i << "]";
    }

    // Bits that were clear stay clear.
    std::memset(&saved, 0, sizeof saved);
    const struct termios raw_of_zero = raw_terminal_settings(saved);
    EXPECT_EQ(raw_of_zero.c_lflag, 0u);
    EXPECT_EQ(raw_of_zero.c_iflag, 0u);
}

// A pseudo-terminal on fd 0: the real switch to raw mode and back.
class StdinPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            GTEST_SKIP() << "no pseudo-terminal available";
        const int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        saved_stdin_ = dup(0);
        ASSERT_GE(saved_stdin_, 0);
        ASSERT_EQ(dup2(slave, 0), 0);
        close(slave);
        g_term_raw = false;
        reset_flags();
    }

    void TearDown() override
    {
        g_term_raw = false;
        reset_flags();
        if (saved_stdin_ >= 0) {
            dup2(saved_stdin_, 0);
            close(saved_stdin_);
        }
        if (master_ >= 0)
            close(master_);
    }

    int master_ = -1;
    int saved_stdin_ = -1;
};

TEST_F(StdinPty, EnterRawThenRestore)
{
    struct termios cooked;
    ASSERT_EQ(tcgetattr(0, &cooked), 0);
    ASSERT_NE(cooked.c_lflag & ICANON, 0u);

    enter_raw_terminal();
    ASSERT_TRUE(g_term_raw);
    struct termios now;
    ASSERT_EQ(tcgetattr(0, &now), 0);
    EXPECT_EQ(now.c_lflag & 0x7Bu, 0u);
    EXPECT_EQ(now.c_iflag & 0x1500u, 0u);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    EXPECT_EQ(g_term_saved.c_lflag, cooked.c_lflag);

    // A second switch must not save the raw settings over the cooked ones.
    enter_raw_terminal();
    EXPECT_EQ(g_term_saved.c_lflag, cooked.c_lflag);

    // Typed bytes reach the reader, Ctrl-C as a byte rather than a signal.
    ASSERT_EQ(write(master_, "`\x03", 2), 2);
    for (int i = 0; i < 200 && !g_stdin_quit; ++i) {  // the pty may deliver a moment later
        poll_stdin_keys();
        if (!g_stdin_quit)
            usleep(5000);
    }
    EXPECT_TRUE(g_stdin_space);
    EXPECT_TRUE(g_stdin_quit);

    restore_stdin_termios();
    EXPECT_FALSE(g_term_raw);
    ASSERT_EQ(tcgetattr(0, &now), 0);
    EXPECT_EQ(now.c_lflag, cooked.c_lflag);
    EXPECT_EQ(now.c_iflag, cooked.c_iflag);
    EXPECT_EQ(now.c_cc[VMIN], cooked.c_cc[VMIN]);
}

TEST_F(StdinPty, HangUpClosesTheReader)
{
    enter_raw_terminal();
    ASSERT_TRUE(g_term_raw);
    g_stdin_closed = false;
    poll_stdin_keys();
    EXPECT_FALSE(g_stdin_closed);
    close(master_);  // the terminal hangs up
    master_ = -1;
    poll_stdin_keys();
    EXPECT_TRUE(g_stdin_closed);
    g_stdin_closed = false;
    restore_stdin_termios();
}

// ---- key probes without a keyboard ------------------------------------------------

class ProbeOnPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
        reader_ = fds[0];
        writer_ = fds[1];
        g_evdev_fd = reader_;
    }

    void TearDown() override
    {
        g_evdev_fd = -1;
        g_evdev_gone = nullptr;
        if (reader_ >= 0)
            close(reader_);
        if (writer_ >= 0)
            close(writer_);
    }

    int reader_ = -1;
    int writer_ = -1;
};

TEST_F(ProbeOnPipe, DrainReadsEveryQueuedRecord)
{
    char queued[100 * 24 + 10];  // more than one read takes
    std::memset(queued, 0x41, sizeof queued);
    ASSERT_EQ(write(writer_, queued, sizeof queued), ssize_t(sizeof queued));

    drain_keyboard_events();

    char rest[256];
    errno = 0;
    EXPECT_EQ(read(reader_, rest, sizeof rest), -1);  // nothing left
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(g_evdev_gone, nullptr);
    drain_keyboard_events();  // an empty queue is not a lost device
    EXPECT_EQ(g_evdev_gone, nullptr);
}

TEST_F(ProbeOnPipe, FailedQueryReadsEveryKeyUpAndDoesNotDrain)
{
    char record[24] = {};
    ASSERT_EQ(write(writer_, record, sizeof record), ssize_t(sizeof record));

    uint64_t word = 0x1234;
    EXPECT_FALSE(query_key_state_word(&word));  // EVIOCGKEY fails on a pipe
    EXPECT_EQ(word, 0x1234u);
    const KeyLevels levels = read_key_levels();
    EXPECT_FALSE(levels.grave);
    EXPECT_FALSE(levels.shift);
    EXPECT_FALSE(levels.quit_keys);
    EXPECT_EQ(g_evdev_gone, nullptr);  // failed, but not "no such device"

    char rest[64];
    EXPECT_EQ(read(reader_, rest, sizeof rest), 24);  // the record is still queued
}

TEST_F(ProbeOnPipe, EndOfFileIsAHungUpDevice)
{
    close(writer_);
    writer_ = -1;
    drain_keyboard_events();
    EXPECT_EQ(g_evdev_gone, KEYBOARD_HUNG_UP);
    close_evdev_keyboard();
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_gone, nullptr);
    reader_ = -1;  // closed with the keyboard
}

TEST(KeyLevelsFromWord, EachKeyFromItsBits)
{
    const uint64_t grave = uint64_t(1) << 41;
    const struct {
        uint64_t word;
        bool grave, shift, quit;
    } cases[] = {
        {0, false, false, false},
        {grave, true, false, false},
        {uint64_t(1) << 42, false, true, false},  // left shift
        {uint64_t(1) << 54, false, true, false},  // right shift
        {uint64_t(1) << 1, false, false, true},   // Esc
        {uint64_t(1) << 16, false, false, true},  // Q
        {grave | (uint64_t(1) << 42) | (uint64_t(1) << 16), true, true, true},
        {~(grave | SHIFT_MASK | QUIT_KEYS_MASK), false, false, false},  // every other key
    };
    for (const auto& c : cases) {
        const KeyLevels levels = key_levels_from_word(c.word);
        EXPECT_EQ(levels.grave, c.grave) << std::hex << c.word;
        EXPECT_EQ(levels.shift, c.shift) << std::hex << c.word;
        EXPECT_EQ(levels.quit_keys, c.quit) << std::hex << c.word;
    }
}

TEST(ProbeWithoutKeyboard, AllReportUp)
{
    g_evdev_fd = -1;
    uint64_t word = 0;
    EXPECT_FALSE(query_key_state_word(&word));
    const KeyLevels levels = read_key_levels();
    EXPECT_FALSE(levels.grave || levels.shift || levels.quit_keys);
    drain_keyboard_events();
    EXPECT_EQ(g_evdev_gone, nullptr);
}

}  // namespace
