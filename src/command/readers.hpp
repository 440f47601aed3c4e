// Typed value readers: every command driver takes its keywords and values
// through these. A value missing at the end of a line is taken from the next
// line; numbers may be written as $variable references or eval expressions.
// On a wrong token the line is shown with a caret under the offending token,
// and the run ends (batch mode) or a fresh line is read (interactive mode).
#pragma once

#include <string>
#include <string_view>

#include "command/kova.hpp"

namespace kova {

// A word: a NAME lower-cased or a STRING as typed. Blank lines and comment
// lines (starting with * or !) are skipped. The result is cut to len
// characters, without trailing blanks.
std::string getnam(Kova& k, int unit, std::string_view prompt, size_t len = linlen);
// A file name: a NAME or STRING, case kept.
std::string getfil(Kova& k, int unit, std::string_view prompt, size_t len = linlen);
// One character (a CHAR token), lower-cased.
char getchr(Kova& k, int unit, std::string_view prompt);
// An integer; also $variable and eval.
int getint(Kova& k, int unit, std::string_view prompt);
// A real written as a real; also $variable and eval.
float getfp(Kova& k, int unit, std::string_view prompt);
// Any number; also $variable and eval.
float getnum(Kova& k, int unit, std::string_view prompt);
// Integer index readers: getin1 accepts $variable with an index read by
// getin2; getin2 accepts $variable without index.
int getin1(Kova& k, int unit, std::string_view prompt);
int getin2(Kova& k, int unit, std::string_view prompt);

// Shows the current line with a caret under column ipos; ends the run in
// batch mode, otherwise asks for the rest of the line to be retyped.
void errlin(Kova& k);

// Counted report of a warning or fatal condition; the tenth call, or any
// FATAL one, ends the run.
void ermsg(Kova& k, std::string_view routine, std::string_view message, std::string_view severity);

}  // namespace kova
