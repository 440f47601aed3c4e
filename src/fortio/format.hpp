// Formatted records described by Fortran edit-descriptor strings.
//
// A layout is written in the code exactly as a Fortran FORMAT would give it,
// e.g. "(1x,'  Atoms read',40x,':',i10)" or "((6(1x,e12.6)))", and this
// interpreter produces (or reads) the records a standard Fortran run-time
// would: right alignment, asterisks on overflow, the optional leading zero
// dropped when a field is full, E exponent forms, G switching, format
// reversion, repeat counts, nested groups, quoted literals, Nx, / and l1.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace fortio {

// A malformed format string. Formats are written by the programmer, so this
// marks a programming error, not bad user input.
struct FormatError : std::logic_error {
    using std::logic_error::logic_error;
};

// One item of an output list. float and double are kept apart because
// list-directed output of REAL and DOUBLE PRECISION differs; formatted edit
// descriptors use the exact binary value either way.
using OutItem = std::variant<std::int64_t, float, double, std::string_view, bool>;

// Writes one formatted output statement: returns its records (one string per
// record, without line terminators). An empty item list still writes the
// literal text up to the first data descriptor.
std::vector<std::string> format_write(std::string_view fmt, std::initializer_list<OutItem> items);
std::vector<std::string> format_write(std::string_view fmt, const std::vector<OutItem>& items);

// Character input target of declared length len (a CHARACTER*len variable).
// On input the result is stored blank-padded to len.
struct Chars {
    std::string* s;
    int len;
};

// One item of an input list.
using InItem = std::variant<int*, std::int64_t*, float*, double*, bool*, Chars>;

enum class ReadStatus { ok, eof, error };

struct ReadResult {
    ReadStatus status = ReadStatus::ok;
    std::string message;  // what went wrong, for ReadStatus::error
};

// Supplies the next input record; returns false at end of file.
using RecordSource = std::function<bool(std::string&)>;

// Reads one formatted input statement: takes records from next_record as the
// format asks for them (one at the start, one more at each '/' or reversion).
ReadResult format_read(std::string_view fmt, const RecordSource& next_record,
                       std::initializer_list<InItem> items);
ReadResult format_read(std::string_view fmt, const RecordSource& next_record,
                       const std::vector<InItem>& items);

// Convenience: read one record that is already in hand.
ReadResult format_read_record(std::string_view fmt, std::string_view record,
                              std::initializer_list<InItem> items);

// List-directed ("free-format", FMT=*) output as gfortran writes it: returns
// the records of one WRITE(unit,*) statement.
std::vector<std::string> list_write(std::initializer_list<OutItem> items);
std::vector<std::string> list_write(const std::vector<OutItem>& items);

// List-directed input: values separated by blanks, commas or record ends;
// r*value repeats, r* null values, / ends the statement leaving the
// remaining items unchanged; quoted or bare character values.
ReadResult list_read(const RecordSource& next_record, std::initializer_list<InItem> items);
ReadResult list_read(const RecordSource& next_record, const std::vector<InItem>& items);

}  // namespace fortio
