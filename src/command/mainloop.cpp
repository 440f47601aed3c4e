#include "command/mainloop.hpp"

#include <exception>
#include <string>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"

namespace kova {

namespace {

void empty_line(Kova& k) { k.units.write(k.files.outunit, ""); }

void write_date_line(Kova& k, const std::string& date, const std::string& time) {
    out(k, "(a,a12,1x,a12)", "  date/time               : ", date, time);
}

}  // namespace

void banner(Kova& k) {
    empty_line(k);
    empty_line(k);
    out(k, "(3a)", "TELVORA BROWNIAN DYNAMICS  (", "Release experimental", ")");
    empty_line(k);
    out(k, "(a)", "  AUTHORS                 : the kova developers");
    out(k, "(a)", "                          : finite-difference Poisson-Boltzmann electrostatics");
    out(k, "(a)", "                          : Brownian dynamics and association rate constants");
    out(k, "(a)", "                          : molecular mechanics, minimisation and dynamics");
    out(k, "(a)", "                          : command language and Fortran-compatible files");
    empty_line(k);

    std::string date, time;
    kvtime(date, time, k.clock.cpu, k.clock.user, k.clock.sys);
    write_date_line(k, date, time);

    empty_line(k);
    empty_line(k);
    out(k, "(a)", "CURRENT MAXIMUM PROGRAM DIMENSIONS     ");
    struct Limit {
        const char* label;
        int value;
        const char* suffix;
    };
    const Limit limits[] = {
        {"  Maximum Number of Atoms                           :", maxatm, ""},
        {"  Maximum Grid Size                                 :", maxgrd, "^3 "},
        {"  Maximum Number of Subunits                        :", maxsub, ""},
        {"  Maximum Entries in Atomic Database                :", maxqtb, ""},
        {"  Maximum Equivalences in Atomic Database           :", maxeqv, ""},
        {"  Maximum Number of Runs                            :", maxrun, ""},
        {"  Maximum Number of Reaction Sites                  :", maxrxn, ""},
        {"  Maximum Number of Criteria per Reaction Site      :", maxcrt, ""},
        {"  Maximum Number of Columns in an Atomic Database   :", maxcol, ""},
        {"  Maximum Number of Diffusing Units                 :", maxdfu, ""},
        {"  Maximum Number of Diffusing Subunits              :", maxdsb, ""},
        {"  Maximum Number of Distance Constraints            :", maxdcn, ""},
        {"  Maximum Number of Molecules                       :", maxmol, ""},
        {"  Maximum Number of Time Step Regions               :", maxreg, ""},
        {"  Maximum Number of Time Steps for Correlation Func.:", maxcor, ""},
        {"  Maximum Number of Bins for Dihedral Distributions :", maxbin, ""},
        {"  Maximum Number of Trajectories for Analysis       :", maxtrj, ""},
        {"  Maximum Number of Traj. Files to be Concatenated  :", maxcat, ""},
    };
    for (const Limit& l : limits) {
        if (*l.suffix)
            out(k, "(a,i10,a)", l.label, l.value, l.suffix);
        else
            out(k, "(a,i10)", l.label, l.value);
    }
    empty_line(k);
    empty_line(k);
}

void report_increment(Kova& k) {
    std::string date, time;
    float cpu, user, sys;
    kvtime(date, time, cpu, user, sys);
    out(k, "(a,f10.3)", "  CPU seconds increment   : ", cpu - k.clock.cpu);
    empty_line(k);
    k.clock = Clock{cpu, user, sys};
}

void terminate_run(Kova& k) { endrun(k, exit_ok); }

void termination_report(Kova& k, int status) {
    std::string date, time;
    float cpu, user, sys;
    kvtime(date, time, cpu, user, sys);
    if (k.flags.timing) {
        out(k, "(a,f10.3)", "  CPU seconds increment   : ", cpu - k.clock.cpu);
        empty_line(k);
    }
    out(k, "(a)", "KOVA termination");
    write_date_line(k, date, time);
    out(k, "(a,f10.3)", "  total CPU seconds       : ", cpu);
    if (status != exit_ok) out(k, "(a,i10)", "  exit status             : ", status);
    empty_line(k);
    empty_line(k);
}

// ---------------------------------------------------------------------------
// Parser save stack.

void pushgt(Kova& k, bool loop_copy) {
    LineStore& t = k.tok;
    if (t.nsave >= maxsav) {
        msg(k, "FATAL: pushgt(010) Exceded parser save stack size:" + fortio::format_write("(i10)", {std::int64_t{maxsav}})[0]);
        endrun(k, exit_fatal);
    }
    int n = ++t.nsave;
    t.svline[n] = t.line;
    t.svpos[n] = t.ipos;
    t.svlen[n] = t.ilen;
    t.svbtch[n] = k.flags.batch;
    t.svunit[n] = k.files.inunit;
    t.svloop[n] = loop_copy;
    t.line.fill(' ');
    t.ipos = 0;
    t.ilen = 0;
    k.flags.batch = true;
}

void popgt(Kova& k) {
    LineStore& t = k.tok;
    if (t.nsave == 0) {
        // Nothing sound to restore: the current input stays as it is.
        msg(k, "WARNING: popgt(010) Parser save stack empty");
        kvabort(k, warning);
        return;
    }
    int n = t.nsave--;
    t.line = t.svline[n];
    t.ipos = t.svpos[n];
    t.ilen = t.svlen[n];
    k.flags.batch = t.svbtch[n];
    k.files.inunit = t.svunit[n];
    t.ateof = false;
}

// ---------------------------------------------------------------------------
// Stream files and the end of an input.

void stream(Kova& k) {
    std::string name = getfil(k, k.files.inunit, "Stream file?");
    std::string word = getnam(k, k.files.inunit, "End?");
    if (word != "end") {
        msg(k, "WARNNING: kova(200) Garbled stream command.");
        kvabort(k, warning);
        return;
    }
    if (k.tok.istrm >= k.tok.mxstrm) {
        msg(k, "WARNING: kova(210) Stream commands nested too deep.");
        kvabort(k, warning);
        return;
    }
    int unit = ++k.tok.istrm;
    if (k.units.open(unit, name, fortio::OpenStatus::old_file, fortio::Form::formatted)) {
        pushgt(k, false);
        k.files.inunit = unit;
        return;
    }
    // The unit number is given back, so failed opens do not use up the
    // nesting depth of stream files.
    --k.tok.istrm;
    msg(k, "WARNING: kova(220) Unable to open stream file: ", trimmed(name));
    if (k.flags.batch) {
        // A batch run cannot have the commands of a missing file typed in
        // instead: going on would report success for a run that never did
        // what the file asked.
        msg(k, "SERIOUS: kova(225) batch run stopped: its stream file is missing.");
        kvabort(k, serious);
        return;
    }
    kvabort(k, warning);
}

void end_of_input(Kova& k) {
    LineStore& t = k.tok;
    if (t.nsave > 0) {
        bool loop_copy = t.svloop[t.nsave];
        k.units.close(k.files.inunit);  // a loop copy is a scratch file and disappears
        popgt(k);
        if (loop_copy)
            --k.files.loopunit;
        else
            --t.istrm;
        empty_line(k);
        return;
    }
    msg(k, "NOTE: KOVA(045) Unexpected End Of File encountered");
    if (k.flags.bomb <= 1) endrun(k, exit_abort);
    terminate_run(k);
}

// ---------------------------------------------------------------------------

int run_kova(Kova& k) {
    try {
        inidef(k);
        if (k.flags.terminal) {
            // A person typing: a mistake asks for the line again instead of
            // ending the run, and only errors and worse stop it.
            k.flags.batch = false;
            k.flags.bomb = 4;
        }
        banner(k);
        k.env.pdie = 999.0f;  // the interior dielectric is not set until elec sets it
        for (;;) {
            std::string word = getnam(k, k.files.inunit, "Main");
            try {
                k.tok.incommand = true;
                dispatch(k, word);
            } catch (const CommandAbandoned&) {
            }
            k.tok.incommand = false;
            if (k.flags.timing) report_increment(k);
        }
    } catch (const RunEnd& e) {
        k.units.flush();
        return e.status;
    } catch (const std::exception& e) {
        // A failure no command anticipated (memory exhausted, a library
        // refusing a size): say so and end like any other failed run.
        try {
            msg(k, "FATAL: KOVA(900) internal failure: ", e.what());
            termination_report(k, exit_internal);
            k.units.flush();
        } catch (...) {
        }
        return exit_internal;
    }
}

}  // namespace kova
