// mingw-w64's start-up code expands the unquoted * and ? in the command-line words into matching
// file names (what the Microsoft runtime does when linked with setargv.obj) only when this variable
// is non-zero. The program relies on the runtime having done it, as on any Windows console program.
extern "C" {
int _dowildcard = -1;
}
