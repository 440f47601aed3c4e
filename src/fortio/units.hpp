// The unit table: Fortran-style numbered I/O units over files and the
// standard streams.
//
// Unit 5 is standard input and unit 6 standard output (both supplied by the
// caller, so that a test can run the program on strings); unit 0 is standard
// error. Other units are opened on files with status new, old or scratch, in
// formatted (text records) or unformatted (sequential records with 4-byte
// little-endian length markers before and after) form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fortio {

enum class OpenStatus { old_file, new_file, scratch, unknown };
enum class Form { formatted, unformatted };
enum class IoStatus { ok, eof, error };

class UnitTable {
public:
    static constexpr int stdin_unit = 5;
    static constexpr int stdout_unit = 6;
    static constexpr int stderr_unit = 0;

    UnitTable(std::istream& in, std::ostream& out, std::ostream& err);
    ~UnitTable();
    UnitTable(const UnitTable&) = delete;
    UnitTable& operator=(const UnitTable&) = delete;

    // Opens unit on path. old_file: the file must exist; new_file: the file
    // must not exist (it is created); scratch: path is ignored and a
    // temporary file is made, deleted on close; unknown: open or create.
    // A unit already open is closed first, as Fortran does. On failure
    // returns false and, when why is given, a short reason.
    bool open(int unit, const std::string& path, OpenStatus status, Form form,
              std::string* why = nullptr);
    // Closes the unit (a scratch file is deleted). Closing a unit that is not
    // open does nothing. The standard units stay attached.
    void close(int unit);
    bool is_open(int unit) const;
    // Repositions the unit at its first record; false when it is not open.
    bool rewind(int unit);
    // Whether the unit is connected for formatted transfer.
    bool is_formatted(int unit) const;
    // The file name the unit is open on (empty for the standard units).
    std::string name(int unit) const;

    // Formatted output: one record. A unit that is not open is opened on a
    // file named "fort.N", as a Fortran run-time does.
    void write(int unit, std::string_view record);
    void write(int unit, const std::vector<std::string>& records);
    // Writes text without ending the record (a prompt); the next write
    // continues the same record.
    void write_noadvance(int unit, std::string_view text);

    // Formatted input: the next record, without its line terminator (a
    // carriage return before the line feed is dropped too).
    IoStatus read(int unit, std::string& record);

    // Unformatted sequential records.
    IoStatus write_unformatted(int unit, std::span<const std::byte> data);
    IoStatus read_unformatted(int unit, std::vector<std::byte>& data);

    void flush();

private:
    struct Unit;
    Unit* find(int unit) const;
    Unit& writable(int unit);
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    std::map<int, std::unique_ptr<Unit>> units_;
};

}  // namespace fortio
