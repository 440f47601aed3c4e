// hbmatch: hydrogen-bond donor/acceptor pairs between two protein structures.
//
// Reads the cutoff from "da.distance" and the structures "1.pdb" and "2.pdb",
// lists every acceptor of structure 1 within the cutoff of a donor of
// structure 2 and every donor of structure 1 within the cutoff of an acceptor
// of structure 2. The pairs go to the listing "fort.99" and, one atom per
// line, to the parallel files "1.rxna" and "2.rxna"; a progress listing goes
// to standard output.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hbmatch {

// Cutoff used when "da.distance" holds no readable number (Angstrom).
inline constexpr double default_cutoff = 4.5;

// Largest number of ATOM records per structure. The ordinal of an atom is
// written in an I5 field, so this is the largest ordinal the pair listing can
// show; the donor and acceptor lists can never hold more entries than this.
inline constexpr long maxatm = 99999;

// Squared-distance slack (Angstrom^2) for the "not greater than the cutoff"
// test. Coordinates are decimal numbers that binary doubles hold only
// approximately, so an atom exactly at the cutoff on paper can come out a few
// 1e-15 beyond it; the slack restores it. It is far below the 1e-6 A^2 steps
// that three-decimal coordinates can produce.
inline constexpr double tie_slack = 1.0e-9;

// Stops the run: the message is written to standard error and the program
// ends with a non-zero status.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One donor or acceptor atom.
struct Site {
    long ordinal = 0;      // position among the ATOM records of its file, from 1
    std::string card;      // columns 1-30 of its ATOM record
    double x = 0, y = 0, z = 0;
    double value = 0;      // radius of the exposed area, sqrt(area/2pi); the area is 0
};

// What mkpar extracts from one structure.
struct Structure {
    std::vector<Site> donors;
    std::vector<Site> acceptors;
    long natoms = 0;       // ATOM records read
    double maxdist = 0;    // largest distance of an atom from the centre
};

struct DonorAcceptor {
    bool donor = false;
    bool acceptor = false;
};

// Classifies an atom by the text that starts at column 14 of its ATOM record
// (atom name, alternate location, residue name).
DonorAcceptor chdaca(std::string_view from_col14);

// Reads one structure (two passes over its ATOM records) and writes its
// progress lines to out; a structure without ATOM records has no centre and
// gets a warning on err. Throws Failure when the file cannot be opened,
// holds an ATOM record whose coordinates cannot be read, or holds more than
// maxatm ATOM records.
Structure mkpar(const std::filesystem::path& file, const std::string& shown_name,
                std::ostream& out, std::ostream& err);

// Reads the cutoff from the file "da.distance" at path. When the file is
// absent, empty or holds no readable number, the default is used and the file
// afterwards holds the default and a note (appended after any text already
// there, which is kept). Throws Failure for a number that is not a usable
// distance (negative, infinite or not a number) and when the file cannot be
// opened.
double read_cutoff(const std::filesystem::path& path);

// The whole program run in folder dir; returns the exit status.
int run(const std::filesystem::path& dir, std::ostream& out, std::ostream& err);

// One list-directed output record built item by item: each numeric item is
// preceded by a separating blank, a text item only when it follows a number,
// and the record starts with a blank.
class ListLine {
public:
    ListLine& operator<<(std::string_view text);
    ListLine& operator<<(long v);
    ListLine& operator<<(int v) { return *this << static_cast<long>(v); }
    ListLine& operator<<(double v);
    const std::string& str() const { return line_; }

private:
    std::string line_;
    bool after_number_ = false;
};

// --- Fixed-column fields as a Fortran run-time writes and reads them --------

// Fw.d: right-aligned, the optional leading zero dropped when the field is
// full, asterisks when the number does not fit.
std::string fmt_f(double v, int w, int d);
// Iw.
std::string fmt_i(long v, int w);
// A list-directed DOUBLE PRECISION item, with its separating blank.
std::string list_double(double v);
// A list-directed INTEGER item, with its separating blank.
std::string list_int(long v);

// Reads an Fw.d input field: blanks ignored, an implied decimal point d
// places from the right when none is written. Returns false for a blank or
// malformed field.
bool read_f(std::string_view field, int d, double& v);

// Reads one list-directed real value from text: the first value, whatever
// records it spans. Returns false when the text holds no value or the first
// value is not a real number (a null value, a slash, a word).
bool list_read_real(std::string_view text, double& v);

}  // namespace hbmatch
