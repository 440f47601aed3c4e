// The run state of kova: every process-wide store of the program, owned by
// one object. Drivers are free functions taking it by reference, so a test
// can build a fresh run, feed it command text and read what it wrote.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "bd/anal.hpp"
#include "bd/bdrun.hpp"
#include "bd/random.hpp"
#include "bd/reaction.hpp"
#include "command/symbols.hpp"
#include "elec/grid.hpp"
#include "mech/forcefield.hpp"
#include "molecule/geomkeep.hpp"
#include "molecule/paramstore.hpp"
#include "molecule/store.hpp"
#include "fortio/units.hpp"
#include "kova_config.hpp"

namespace kova {

// Thrown to end the run (stop words, abort levels, fatal messages); caught in
// the main program, which flushes the output and returns the status.
struct RunEnd {
    int status = 0;
};

// Thrown in interactive mode when a word of the command being read is wrong:
// the rest of that command is discarded and the main loop asks for a new
// one, so that "Please retype entire line." means what it says.
struct CommandAbandoned {};

// Severities of messages, numbered as the abort level compares them.
enum Severity { note = 1, warning = 2, serious = 3, error = 4, fatal = 6 };

constexpr int linlen = 80;  // columns of a command line
constexpr int maxsav = 10;  // depth of the parser save stack

// The line store: the current line, its scan position and the save stack
// used by stream files and loop copies. Columns are 1-based: line[1..80].
struct LineStore {
    std::array<char, linlen + 1> line{};               // gettokc: line
    std::array<std::array<char, linlen + 1>, maxsav + 1> svline{};
    int ipos = 0;    // column of the last character consumed
    int ilen = 0;    // significant length of line
    int nsave = 0;   // depth of the save stack
    int istrm = 50;  // unit of the innermost stream file
    int mxstrm = 60; // highest unit a stream file may take
    std::array<int, maxsav + 1> svpos{};
    std::array<int, maxsav + 1> svlen{};
    std::array<int, maxsav + 1> svunit{};
    std::array<bool, maxsav + 1> svbtch{};  // gettokl
    // Whether the input pushed at each depth is a while-loop copy (as opposed
    // to a stream file); tells the two apart when their unit numbers meet.
    std::array<bool, maxsav + 1> svloop{};
    // Set when getlin met the end of its unit (not a typed "EOF"): no
    // retyped line can come any more.
    bool ateof = false;
    // Consecutive reads of one unit that met its end, and that unit; a
    // command that keeps reading past the end (looking for its closing word)
    // is stopped.
    int eofreads = 0;
    int eofunit = 0;
    // A command's driver is reading its words from the command input (set
    // by the main loop around each command).
    bool incommand = false;

    std::string_view text() const { return {line.data() + 1, static_cast<size_t>(linlen)}; }
};

// File units and names (filei, filec).
struct FileUnits {
    int inunit = 5;
    int outunit = 6;
    int msgunit = 6;
    std::array<int, 21> flxunit{};  // 1..20
    int wrunit = 11;
    int rdunit = 10;
    int frcunit = 14;
    int efrcunit = 15;
    int qfrcunit = 19;
    int rstunit = 13;
    int rxnunit = 16;
    int strunit = 17;
    int hxzunit = 18;
    int loopunit = 60;
    int mxloop = 70;

    std::string inpname = "kova.inp";
    std::string outname = "kova.out";
    std::string errname = "kova.err";
    std::array<std::string, 21> flxname{};
    std::string frcname = "kova.frc";
    std::string efrcname = "kova.elfrc";
    std::string qfrcname = "kova.qfrc";
    std::string rstname = "kova.rst";
    std::string rxnname = "kova.rxn";
    std::string strname = "kova.str";
    std::string hxzname = "kova.hxz";
    std::string qtbname = "qtable.dat";
    std::string opnname;  // file name of the last open command
    std::array<std::string, maxmol + 1> molfile{};  // file each molecule was read from
};

// Flag stores (flagsl, flagsi).
struct Flags {
    std::array<bool, 22> flagsl{};  // 1..21; debug, batch and timing have names below
    bool debug = false;             // field 1
    bool batch = true;              // field 13
    bool timing = false;            // field 14
    int iofmt = 0;                  // flagsi field 1, structure input and output
    int bomb = 3;                   // abort level, 1 to 5
    int iflev = 0;                  // open if blocks
    int whlev = 0;                  // while nesting
    // Standard input is a terminal: the run starts in interactive mode and
    // lines typed there are not echoed (the terminal already shows them).
    bool terminal = false;
};

// The counter of ermsg, kept for the whole run.
struct ErrorCount {
    int calls = 0;
    static constexpr int limit = 10;
};

// CPU times at the previous report of the main loop.
struct Clock {
    float cpu = 0, user = 0, sys = 0;
};

// What the read command keeps from one invocation to the next.
struct ReadState {
    std::string type;      // coor, ref, bfac, grid, epsi, epsj, epsk (blank at start)
    std::string file;      // last file name (shared with the topology reader)
    std::string gridkind;  // the word shown as grid type
    bool trjhead = false;  // the atom-count record of an unformatted trajectory was read
};

// What the write command keeps from one invocation to the next: the atoms
// chosen for coordinate writing by the last sele or prox of a write command
// (all 0 at start).
struct WriteState {
    Arr1<int, maxatm> picwrt{};
};

// What the print command keeps from one invocation to the next.
struct PrintKeep {
    int order = 3;   // multipole order
    int nsph = 200;  // points per sphere of the surface reports
};

struct Kova {
    Kova(std::istream& in, std::ostream& out, std::ostream& err) : units(in, out, err) {}

    fortio::UnitTable units;
    LineStore tok;
    FileUnits files;
    Flags flags;
    ErrorCount erm;
    Clock clock;
    SymbolTable sym;
    MoleculeStore mol;
    ReadState rd;
    WriteState wr;
    ParamStore qtb;
    GridStore mess;
    Environment env;
    ElecReport erep;
    PrintKeep prk;
    RandomStore rnd;  // the process-wide random stream, its table and seeds
    ReactionStore rxn;  // reaction criteria of Brownian dynamics
    BdRun bdrun;        // the Brownian-dynamics run set-up (bd command)
    AnalStore anal;     // what the trajectory analysis keeps (dihedral histograms)
    ForceField ff;      // molecular mechanics: topology, pair list, grid term, generalized Born
    GeomKeep geo;       // reference of rms, binding-site mesh of trans
};

}  // namespace kova
