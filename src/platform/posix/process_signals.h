// How the process ends and stops. comterm has no exit key: it ends when it is killed, when its
// terminal goes away, or by exit(). Every one of these ways that can be caught gives back what the
// process took, with async-signal-safe calls only: each open port gets its line settings back and
// its exclusive flag cleared (a port that another process still holds open would otherwise stay
// locked, and raw at our rate), and the keyboard's terminal gets its own settings back.
//
//   process_signals_install()  catches, unless the process was started with it ignored (nohup):
//     - every signal whose default action ends the process (SIGTERM, SIGHUP, SIGINT, SIGQUIT,
//       SIGPIPE, SIGUSR1/2, the timer and limit signals, the real-time signals, and the faults
//       SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS): gives back, then ends the
//       process by the signal's own default action, so the parent sees the same status;
//     - the stops SIGTSTP, SIGTTIN, SIGTTOU: the terminal's settings given back, then stopped;
//     - SIGCONT: raw keys again, when the process is not in the background of its terminal.
//     At exit() the same is given back.
#pragma once

void process_signals_install();
