// The console of the Linux build: GBK text shown on a UTF-8 terminal, raw bytes into pipes,
// the terminal title and the pause. The program's plain string literals are GBK bytes (the build's
// execution character set); u8 literals give the UTF-8 a terminal must receive.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console_encoding.h"
#include "platform.h"
#include "posix_test_support.h"
#include "textconv.h"

namespace {

std::string convert(gbk_stream& stream, const std::string& gbk) {
    std::vector<unsigned char> out(gbk_stream_max_output(gbk.size()));
    std::size_t length = gbk_stream_to_utf8(
        &stream, reinterpret_cast<const unsigned char*>(gbk.data()), gbk.size(), out.data());
    EXPECT_LE(length, out.size());
    return std::string(reinterpret_cast<char*>(out.data()), length);
}

TEST(ConsoleEncoding, ConvertsGbkWritesToUtf8CarryingSplitCharacters) {
    code_tables_init();
    const struct {
        const char* name;
        std::vector<std::string> writes;
        std::string shown;
    } cases[] = {
        {"whole text", {"你好, world\r\n"}, utf8(u8"你好, world\r\n")},
        {"split after a lead byte", {"\xC4", "\xE3\xBA\xC3"}, utf8(u8"你好")},
        {"split after the third byte",
         {"\xC4\xE3\xBA",
          "\xC3"
          "!"},
         utf8(u8"你好!")},
        {"one byte per write", {"\xB4", "\xAE", "\xBF", "\xDA"}, utf8(u8"串口")},
        {"controls and escapes pass", {"\x1b]0;t\x07\t\x01"}, "\x1b]0;t\x07\t\x01"},
        {"full-width punctuation", {"：，"}, utf8(u8"：，")},
        {"unmapped pair",
         {"\xA1\x40"
          "a"},
         utf8(u8"\uFFFD"
              "a")},
        {"lead before a non-trail byte", {"\x81\n"}, utf8(u8"\uFFFD\n")},
        {"lead before 0x7F", {"\xC4\x7F"}, utf8(u8"\uFFFD\x7F")},
        {"a lead byte is also a trail byte", {"\xC4", "\xC4\xE3"}, utf8(u8"哪")},
        {"0x80 is the euro sign in code page 936", {"\x80"}, utf8(u8"€")},
        {"0xFF has no character",
         {"\xFF"
          "a"},
         utf8(u8"\uFFFD"
              "a")},
        {"a lead at the end waits", {"a\xC4"}, "a"},
    };
    for (const auto& c : cases) {
        gbk_stream stream;
        std::string shown;
        for (const std::string& piece : c.writes) {
            shown += convert(stream, piece);
        }
        EXPECT_EQ(shown, c.shown) << c.name;
    }
}

TEST(ConsoleEncoding, RecognisesGbkCompatibleCharacterSets) {
    const struct {
        const char* codeset;
        bool gbk;
    } cases[] = {
        {"gbk", true},    {"GB18030", true}, {"euc_cn", true},          {"WINDOWS-936", true},
        {"UTF-8", false}, {"", false},       {"ANSI_X3.4-1968", false}, {"BIG5", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(codeset_is_gbk_compatible(c.codeset), c.gbk) << c.codeset;
    }
}

TEST(ConsoleEncoding, ReadsTheCharacterSetOfTheUsersLocale) {
    const struct {
        const char* lc_all;
        const char* lc_ctype;
        const char* lang;
        const char* codeset;
    } cases[] = {
        {"C.UTF-8", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "C.UTF-8", "UTF-8"},
        // Locales this machine need not have: the name's suffix says it.
        {"zh_CN.GBK", nullptr, nullptr, "GBK"},
        {nullptr, nullptr, "xx_YY.GB18030@variant", "GB18030"},
        {nullptr, "xx_YY.GBK", "C.UTF-8", "GBK"},
        {"C.UTF-8", nullptr, "xx_YY.GBK", "UTF-8"},
    };
    for (const auto& c : cases) {
        for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            unsetenv(variable);
        }
        if (c.lc_all != nullptr)
            setenv("LC_ALL", c.lc_all, 1);
        if (c.lc_ctype != nullptr)
            setenv("LC_CTYPE", c.lc_ctype, 1);
        if (c.lang != nullptr)
            setenv("LANG", c.lang, 1);
        char codeset[64];
        terminal_codeset(codeset, sizeof codeset);
        EXPECT_STREQ(codeset, c.codeset)
            << (c.lc_all ? c.lc_all : "") << " " << (c.lc_ctype ? c.lc_ctype : "") << " "
            << (c.lang ? c.lang : "");
    }
}

// What a child process shows through console_init() and the console operations, with its
// standard output and error on `output_fd`, its input on `input_fd`, and the locale `lc_all`.
template <typename Body>
pid_t start_console_child(int input_fd, int output_fd, const char* lc_all, Body body) {
    pid_t child = fork();
    if (child == 0) {
        dup2(input_fd, STDIN_FILENO);
        dup2(output_fd, STDOUT_FILENO);
        dup2(output_fd, STDERR_FILENO);
        unsetenv("LANG");
        unsetenv("LC_CTYPE");
        setenv("LC_ALL", lc_all, 1);
        console_init();
        body();
        _exit(0);
    }
    return child;
}

void print_sample() {
    std::fputs("\xC4", stdout);  // 你 split across two writes
    std::fputs("\xE3好\n", stdout);
    std::fprintf(stderr, "错误%d\n", 7);
    SetConsoleTitleA("串口\x07调试");  // the BEL must not end the title early
    std::printf(">>");
}

struct shown_output {
    std::string text;
    int status = -1;
};

shown_output run_on_pty(const char* lc_all, std::size_t expected_size) {
    test_pty pty = open_test_pty();
    int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    pid_t child = start_console_child(slave, slave, lc_all, print_sample);
    shown_output shown;
    read_until(pty.master, shown.text,
               [&](const std::string& s) { return s.size() >= expected_size; });
    shown.status = wait_child(child);
    close(slave);
    close(pty.master);
    return shown;
}

TEST(ConsoleStreams, Utf8TerminalShowsTheGbkTextConverted) {
    // The terminal's own output processing turns LF into CR LF.
    const std::string expected = utf8(u8"你好\r\n错误7\r\n\x1b]0;串口调试\x07>>");
    shown_output shown = run_on_pty("C.UTF-8", expected.size());
    EXPECT_EQ(shown.text, expected);
    EXPECT_TRUE(WIFEXITED(shown.status));
}

TEST(ConsoleStreams, GbkTerminalGetsTheBytesUnchanged) {
    const std::string expected = "你好\r\n错误7\r\n\x1b]0;串口调试\x07>>";
    shown_output shown = run_on_pty("zh_CN.GBK", expected.size());
    EXPECT_EQ(shown.text, expected);
}

TEST(ConsoleStreams, PipeGetsRawGbkAndNoTitle) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int null_input = open("/dev/null", O_RDONLY);
    pid_t child = start_console_child(null_input, pipe_fds[1], "C.UTF-8", print_sample);
    close(pipe_fds[1]);
    close(null_input);
    std::string shown;
    read_until(pipe_fds[0], shown, [](const std::string&) { return false; });  // to the end
    close(pipe_fds[0]);
    EXPECT_EQ(shown, "你好\n错误7\n>>");
    EXPECT_TRUE(WIFEXITED(wait_child(child)));
}

TEST(ConsolePause, PromptsAndReturnsAtTheEndOfInput) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int null_input = open("/dev/null", O_RDONLY);
    pid_t child = start_console_child(null_input, pipe_fds[1], "C.UTF-8", [] {
        console_pause();
        std::fputs("done", stdout);
    });
    close(pipe_fds[1]);
    close(null_input);
    std::string shown;
    read_until(pipe_fds[0], shown, [](const std::string&) { return false; });
    close(pipe_fds[0]);
    EXPECT_EQ(shown, "请按任意键继续. . .\ndone");
    EXPECT_TRUE(WIFEXITED(wait_child(child)));
}

TEST(ConsolePause, WaitsForOneKeyOnATerminalAndRestoresIt) {
    test_pty pty = open_test_pty();
    int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    termios original{};
    ASSERT_EQ(tcgetattr(slave, &original), 0);
    pid_t child = start_console_child(slave, slave, "C.UTF-8", [] {
        console_pause();
        std::fputs("done", stdout);
    });
    std::string shown;
    const std::string prompt = utf8(u8"请按任意键继续. . .\r\n");
    EXPECT_TRUE(read_until(pty.master, shown, [&](const std::string& s) { return s == prompt; }));
    // It waits in raw mode: a single key, no Enter, ends the pause.
    EXPECT_TRUE(eventually([&] {
        termios now{};
        tcgetattr(slave, &now);
        return (now.c_lflag & ICANON) == 0;
    }));
    ASSERT_EQ(write(pty.master, "k", 1), 1);
    EXPECT_TRUE(
        read_until(pty.master, shown, [&](const std::string& s) { return ends_with(s, "done"); }));
    EXPECT_EQ(shown, prompt + "done") << "the key is not echoed";
    EXPECT_TRUE(WIFEXITED(wait_child(child)));
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, original.c_lflag);
    EXPECT_EQ(after.c_iflag, original.c_iflag);
    close(slave);
    close(pty.master);
}

}  // namespace
