// Command-line handling: the usage text and the option parser for "-p PORT" and "-b RATE", and the
// long options "--help" (the usage text on standard output) and "--version" ("comterm VERSION"),
// each of which ends the process with status 0 where it stands among the options.
//
// The parser follows the GNU rules (the Windows runtime has no getopt, and the system one prints
// other messages): options may stand anywhere among the words unless POSIXLY_CORRECT is set, "--"
// ends them, a value is the rest of its word (-pCOM3) or else the whole next word, whatever it
// holds (-p -b makes "-b" the port name). A long option is a word "--NAME", "--NAME=VALUE" or
// "--NAME" followed by its value as the next word; only its full name counts (no abbreviations).
// After "--", after the first word that is not an option under POSIXLY_CORRECT, or as the value
// of an option, a word beginning with "--" is an ordinary word. Errors are reported on standard
// error with "%s: invalid option -- %c", "%s: option requires an argument -- %c" (a long option's
// name in place of the letter), "%s: unrecognized option '%s'", "%s: option '--%s' doesn't allow
// an argument" and, for a port name that does not fit in port_path, "%s: port name too long --
// %s", and otherwise ignored. Words read otherwise than written are handled as always, with a
// warning in the same form (argv[0] first): "%s: -b %s: read as %ld" for a rate with more after
// its digits or beyond the 32-bit range (none for a rate read exactly, -1 included, nor for one
// without digits, which the rate menu makes plain), and "%s: ignored: WORDS; use -p PORT -b RATE"
// naming, in one line, every word that is not an option: skipped ones, all after "--", and under
// POSIXLY_CORRECT all from the first such word.
//
// What a -p value names comes from the platform layer (platform.h): a full device path is taken as
// it is (on Linux a '/' path as long as the system allows, kept as typed so that a link is
// followed anew at every open), any other value gets the device-namespace prefix "\\.\" and holds
// 31 characters with it.
//
//   print_usage()      the usage text on the stream given, naming the program after argv[0].
//   program_name_of()  argv[0] after its last backslash (only the backslash separates).
//   parse_options()    fills port_path, baud_rate and the long options' settings from the words
//                      (keys.h: --echo, --enter, --char-delay, --exit-key; modem_lines.h: --dtr,
//                      --rts; list_ports_requested: --list; view.h: --log, --timestamp, --hex,
//                      --encoding, whose names go in any case); a bad value is refused with
//                      "%s: invalid argument '%s' for '--%s' (what would do)";
//                      0, or -1 when a long option refused its value (it said why).
//   parse_baud()       a -b value read like atoi, but clamped to the 32-bit range.
#pragma once

#include <cstdint>
#include <cstdio>

// The first console title and the banner of the usage text.
inline constexpr char tool_title[] = "串口调试工具(by comterm)";

const char* program_name_of(const char* argv0);
void print_usage(const char* argv0, std::FILE* stream);
int parse_options(int argc, char** argv);
std::int32_t parse_baud(const char* text);

// --list was given: main lists the ports and ends instead of opening one.
extern bool list_ports_requested;
