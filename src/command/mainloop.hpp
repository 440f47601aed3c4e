// The main program of kova: start-up, the command loop, stream files and the
// termination report.
#pragma once

#include <string_view>

#include "command/kova.hpp"

namespace kova {

// Runs a whole session on the run state: defaults, banner, command loop,
// termination. Returns the exit status.
int run_kova(Kova& k);

// Looks the command word up in the command table and performs it.
void dispatch(Kova& k, std::string_view word);

// The banner with the table of compiled-in limits.
void banner(Kova& k);
// Termination report; ends the run with status 0.
[[noreturn]] void terminate_run(Kova& k);
// Writes the termination report of a run ending with the given status (the
// status line only when it is not 0).
void termination_report(Kova& k, int status);
// CPU-time increment line of the timing switch; remembers the times.
void report_increment(Kova& k);

// Parser save stack: pushgt saves the line state and switches to batch
// mode; popgt restores it. loop_copy marks the input being entered as a
// while-loop copy.
void pushgt(Kova& k, bool loop_copy = false);
void popgt(Kova& k);

// Commands of the run-control family.
void stream(Kova& k);        // stre file end
void end_of_input(Kova& k);  // eof (typed, or the end of a file)

// Clock: date " 6-Dec-26", time "hh:mm:ss" (both blank-padded to 12) and
// the process CPU times in seconds.
void kvtime(std::string& date, std::string& time, float& cpu, float& user, float& sys);

// Start-up defaults of every store.
void inidef(Kova& k);

}  // namespace kova
