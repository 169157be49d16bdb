// Command-line handling: the usage text and the option parser for "-p PORT" and "-b RATE".
//
// The parser follows the GNU rules (the Windows runtime has no getopt, and the system one prints
// other messages): options may stand anywhere among the words unless POSIXLY_CORRECT is set, "--"
// ends them, a value is the rest of its word (-pCOM3) or else the whole next word, whatever it
// holds (-p -b makes "-b" the port name). Errors are reported on standard error with
// "%s: invalid option -- %c", "%s: option requires an argument -- %c" and, for a port name that
// does not fit in port_path, "%s: port name too long -- %s", and otherwise ignored.
//
//   print_usage()      the usage text on standard error, naming the program after argv[0].
//   program_name_of()  argv[0] after its last backslash (only the backslash separates).
//   parse_options()    fills port_path and baud_rate from the words.
//   parse_baud()       a -b value read like atoi, but clamped to the 32-bit range.
#pragma once

#include <cstdint>

// The first console title and the banner of the usage text.
inline constexpr char tool_title[] = "串口调试工具(by comterm)";

const char* program_name_of(const char* argv0);
void print_usage(const char* argv0);
void parse_options(int argc, char** argv);
std::int32_t parse_baud(const char* text);
