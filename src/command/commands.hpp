// Drivers and routines of the command-language family: variables and
// expressions, control flow, files and modes.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "command/kova.hpp"

namespace kova {

// Variables and expressions.
void setvar(Kova& k, std::string_view name, int index, double value);
void kvdime(Kova& k);   // dime name size ... end
void assign(Kova& k);   // assi name = expr | name(i) = expr | name(i:j) = expr ...
double eval(Kova& k);   // postfix expression up to end, do, then or ","

// Control flow.
void kvif(Kova& k);
void kvelse(Kova& k);
void kvwhil(Kova& k);
void endwhile(Kova& k);  // endwhile met while running: next pass
void endif(Kova& k);     // endif met while running

// Files and modes.
void opn(Kova& k);
void clos(Kova& k);
void mode(Kova& k);
// Creates and opens a new file on unit without overwriting: name is
// rewritten with the name actually used (name, name1 ... name99); declared
// is the length of the caller's name variable.
void kvopen(Kova& k, int unit, std::string& name, bool formatted, int declared = 80);

// Bit utilities of atom selection (bit number taken modulo 32).
int ibset(int word, int bit);
int ibclr(int word, int bit);
bool btest(int word, int bit);
// End-of-term step of atom selection: sets bit slot of each atom's mask
// where every one of the nterm sub-tests hit, clears it elsewhere, zeroes
// the hit counts; then advances slot and resets nterm and flag.
void bflush(int& flag, std::span<int> masks, std::span<int> hits, int& slot, int& nterm);

}  // namespace kova
