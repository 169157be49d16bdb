// The option parser, the -b reading and the usage text, run in-process on the real globals.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "link.h"
#include "options.h"

namespace {

struct parse_case {
    const char* name;
    std::vector<std::string> words;  // without argv[0]
    const char* port_path;
    std::int32_t baud_rate;
    const char* diagnostics;
};

// Runs the parser from a clean state; returns what it printed on standard error.
std::string run_parser(const std::vector<std::string>& words) {
    std::vector<std::string> storage = {"comterm"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    port_path[0] = '\0';
    baud_rate = 0;
    testing::internal::CaptureStderr();
    parse_options(static_cast<int>(storage.size()), argv.data());
    return testing::internal::GetCapturedStderr();
}

TEST(Options, ParsesWordsTheGnuWay) {
    const std::string long_name(40, 'X');
    const parse_case cases[] = {
        {"separate values", {"-p", "COM3", "-b", "9600"}, "\\\\.\\COM3", 9600, ""},
        {"attached values", {"-pCOM3", "-b9600"}, "\\\\.\\COM3", 9600, ""},
        {"full path verbatim", {"-p", "\\\\.\\COM12", "-b", "1"}, "\\\\.\\COM12", 1, ""},
        {"empty value is the bare prefix", {"-p", "", "-b", "1"}, "\\\\.\\", 1, ""},
        {"permuted around a word", {"COM3", "-b", "9600", "-p", "COM5"}, "\\\\.\\COM5",
         9600, ""},
        {"a value that looks like an option", {"-p", "-b"}, "\\\\.\\-b", 0, ""},
        {"double dash ends options", {"-b", "5", "--", "-p", "COM3"}, "", 5, ""},
        {"later value replaces earlier", {"-b", "9600", "-b", "115200"}, "", 115200, ""},
        {"later -b without digits resets", {"-b", "9600", "-b", "fast"}, "", 0, ""},
        {"negative rate kept", {"-b", "-1"}, "", -1, ""},
        {"unknown letter reported", {"-x", "-b", "7"}, "", 7,
         "comterm: invalid option -- x\n"},
        {"unknown letter before a value letter", {"-xb7"}, "", 7,
         "comterm: invalid option -- x\n"},
        {"missing value reported", {"-b"}, "", 0,
         "comterm: option requires an argument -- b\n"},
        {"lone dash is a word", {"-", "-b", "3"}, "", 3, ""},
        {"too long a name is refused whole",
         {"-p", "COM3", "-p", long_name}, "\\\\.\\COM3", 0,
         nullptr},
    };
    for (const parse_case& c : cases) {
        const std::string diagnostics = run_parser(c.words);
        EXPECT_STREQ(port_path, c.port_path) << c.name;
        EXPECT_EQ(baud_rate, c.baud_rate) << c.name;
        if (c.diagnostics != nullptr) {
            EXPECT_EQ(diagnostics, c.diagnostics) << c.name;
        } else {
            EXPECT_EQ(diagnostics, "comterm: port name too long -- " + long_name + "\n") << c.name;
        }
    }
}

TEST(Options, ReadsRatesLikeAtoiButClamped) {
    const struct {
        const char* text;
        std::int32_t rate;
    } cases[] = {
        {"9600", 9600},        {"  74880", 74880},          {"250000baud", 250000},
        {"+42", 42},           {"-1", -1},                  {"fast", 0},
        {"", 0},               {"2147483647", INT32_MAX},   {"2147483648", INT32_MAX},
        {"99999999999999999999", INT32_MAX},                {"-2147483648", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_baud(c.text), c.rate) << '"' << c.text << '"';
    }
}

TEST(Options, NamesTheProgramAfterTheLastBackslashOnly) {
    EXPECT_STREQ(program_name_of("C:\\tools\\term.exe"), "term.exe");
    EXPECT_STREQ(program_name_of("C:/tools/term.exe"), "C:/tools/term.exe");
    EXPECT_STREQ(program_name_of("comterm"), "comterm");
    EXPECT_STREQ(program_name_of("dir\\"), "");
}

TEST(Options, UsageTextPrintsALongProgramNameWhole) {
    const std::string long_name = "C:\\" + std::string(300, 'n') + ".exe";
    const std::string shown = std::string(300, 'n') + ".exe";
    testing::internal::CaptureStderr();
    print_usage(long_name.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(tool_title) + "\n参数说明:" + shown + " [-p 串口名] [-b 波特率]\n例如：" +
                  shown + " -p COM3 -b 9600\n");
}

}  // namespace
