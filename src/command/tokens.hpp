// Input lines and tokens: the line reader getlin, the table-driven scanner
// gettok, and the small character and string utilities of the command
// language.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/kova.hpp"

namespace kova {

enum class TokKind { error, end, start, linend, separator, integer, name, chr, strbeg, string, real };

// The kind's name as the command language reports it ("INTEGER", "NAME", ...).
std::string_view kind_name(TokKind kind);

struct Token {
    TokKind kind = TokKind::linend;
    float rval = 0;    // real value
    int ival = 0;      // integer value (quote code for a string)
    std::string text;  // at most 80 characters, letters as typed, quotes removed
};

// Reads the next line of unit into the line store, prompting and echoing when
// unit is the command input (and not a loop copy). End of file (or a read
// error) gives the line "EOF"; an all-blank line gives "BLANK".
void getlin(Kova& k, int unit, std::string_view prompt);

// Scans the next token of the line store from column ipos+1 and advances ipos.
Token gettok(Kova& k);

// Scans the next token of a 1-based line of significant length len from
// column pos+1; pos is left on the token's last character.
Token gettok(Kova& k, const char* line1, int len, int& pos);

bool isletr(char c);
bool isnumb(char c);
bool iswhyt(char c);

// Length without trailing blanks, tabs and line feeds.
int kvlen(std::string_view s);
std::string_view trimmed(std::string_view s);

// Copy with A-Z turned into a-z.
std::string lcase(std::string_view in);
// Copy cut to outlen columns with A-Z turned into a-z; warns through ermsg
// when the excess of in is not blank.
std::string lcase(Kova& k, std::string_view in, size_t outlen);

// Copy of in from its first character that is not a blank, tab or line feed,
// blank-padded to 80 columns.
std::string ljust(std::string_view in);

// Blank-separated words of a line of up to 80 columns, as (first, last)
// column pairs, 1-based. A word running to the end of the line ends at the
// line's last column.
std::vector<std::pair<int, int>> split(std::string_view line);

}  // namespace kova
