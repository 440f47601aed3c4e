// The open and close commands, creation of output files without
// overwriting, the mode command and the bit utilities.
#include <cstdio>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"

namespace kova {

namespace {

bool starts(std::string_view word, std::string_view key) { return word.substr(0, key.size()) == key; }

// Units the program itself uses for the standard streams, stream files and
// loop copies; the open command may not take them over.
bool reserved_unit(int unit) { return unit <= 0 || unit == 5 || unit == 6 || (unit >= 51 && unit <= 70); }

}  // namespace

void kvopen(Kova& k, int unit, std::string& name, bool formatted, int declared) {
    const int L = declared;
    int n = kvlen(name);
    if (n > L) n = L;
    std::string base = name.substr(0, n);
    std::string tried;
    auto form = formatted ? fortio::Form::formatted : fortio::Form::unformatted;
    for (int i = 0; i <= 99; ++i) {
        if (i == 0) {
            tried = base.substr(0, n);
        } else {
            int room = i <= 9 ? L - 1 : L - 2;
            if (n > room) {
                char note[80];
                std::snprintf(note, sizeof note, "NOTE: kvopen(010) truncating file name to %2d characters", L);
                msg(k, note);
                if (i >= 10) kvabort(k, kova::note);
                n = room;
            }
            tried = base.substr(0, n) + std::to_string(i);
        }
        if (k.units.open(unit, tried, fortio::OpenStatus::new_file, form)) {
            name = tried;
            return;
        }
    }
    name = tried;
    msg(k, "FATAL: kvopen(000) unable to open file: ", base.substr(0, n));
    endrun(k, exit_fatal);
}

void opn(Kova& k) {
    int unit = 99;
    bool formatted = true;
    bool old = false;
    std::string& name = k.files.opnname;  // kept from one open command to the next
    for (;;) {
        std::string w = getnam(k, k.files.inunit, "Opn");
        if (w == "end") break;
        if (starts(w, "unit")) {
            unit = getint(k, k.files.inunit, "Opn");
        } else if (starts(w, "bin")) {
            formatted = false;
        } else if (starts(w, "asc")) {
            formatted = true;
        } else if (starts(w, "fil")) {
            name = getfil(k, k.files.inunit, "Opn");
        } else if (starts(w, "new")) {
            old = false;
        } else if (starts(w, "old")) {
            old = true;
        } else {
            out(k, "(a,a80)", " SERIOUS: opn(010) unknown keyword: ", pad(w, linlen));
            kvabort(k, serious);
        }
    }
    if (reserved_unit(unit)) {
        msg(k, "SERIOUS: opn(030) unit number reserved by the program: ", std::to_string(unit));
        kvabort(k, serious);
        return;
    }
    if (trimmed(name).empty()) {
        msg(k, "SERIOUS: opn(040) no file name given.");
        kvabort(k, serious);
        return;
    }
    if (!old) {
        std::string used(trimmed(name));
        kvopen(k, unit, used, formatted);
        return;
    }
    std::string why;
    if (!k.units.open(unit, std::string(trimmed(name)), fortio::OpenStatus::old_file,
                      formatted ? fortio::Form::formatted : fortio::Form::unformatted, &why)) {
        msg(k, "ERROR: opn(020) unable to open old file: ", trimmed(name), " (" + why + ")");
        kvabort(k, error);
    }
}

void clos(Kova& k) {
    int unit = 99;
    for (;;) {
        std::string w = getnam(k, k.files.inunit, "Clos");
        if (w == "end") break;
        if (starts(w, "unit")) {
            unit = getint(k, k.files.inunit, "Clos");
        } else {
            out(k, "(a,a80)", " SERIOUS: clos(010) unknown keyword: ", pad(w, linlen));
            kvabort(k, serious);
        }
    }
    // Stream files and loop copies are closed by the end of their input.
    if (!reserved_unit(unit)) k.units.close(unit);
}

void mode(Kova& k) {
    Flags& f = k.flags;
    for (;;) {
        std::string w = getnam(k, k.files.inunit, "Mode");
        if (w == "end") break;
        std::string_view key = std::string_view(w).substr(0, 4);
        if (key == "debu") {
            f.debug = true;
        } else if (key == "node") {
            f.debug = false;
        } else if (key == "time") {
            f.timing = true;
        } else if (key == "noti") {
            f.timing = false;
        } else if (key == "batc") {
            f.batch = true;
            f.bomb = 2;
        } else if (key == "inte") {
            f.batch = false;
            f.bomb = 4;
        } else if (key == "bomb") {
            std::string lvl = getnam(k, k.files.inunit, "bomb level?");
            std::string_view l = std::string_view(lvl).substr(0, 4);
            if (l == "note") f.bomb = 1;
            else if (l == "warn") f.bomb = 2;
            else if (l == "seri") f.bomb = 3;
            else if (l == "erro") f.bomb = 4;
            else if (l == "fata") f.bomb = 5;
        } else {
            msg(k, "SERIOUS: mode(010) unknown keyword: ", pad(w, linlen));
            kvabort(k, serious);
        }
    }
    out(k, "(a)", "KOVA mode settings");
    out(k, "(a,a20)", "  Debugging                          (nodebug/debug):", f.debug ? "ON" : "OFF");
    out(k, "(a,a20)", "  Command processing mode        (batch/interactive):", f.batch ? "Batch" : "Interactive");
    static const char* const abort_on[6] = {"", "Notes", "Warnings", "Serious", "Errors", "Fatals"};
    if (f.bomb >= 1 && f.bomb <= 5)
        out(k, "(a,a20)", "  Program abort on                                  :", abort_on[f.bomb]);
    k.units.write(k.files.outunit, "");
}

int ibset(int word, int bit) {
    return static_cast<int>(static_cast<unsigned>(word) | (1u << ((bit % 32 + 32) % 32)));
}
int ibclr(int word, int bit) {
    return static_cast<int>(static_cast<unsigned>(word) & ~(1u << ((bit % 32 + 32) % 32)));
}
bool btest(int word, int bit) { return (static_cast<unsigned>(word) >> ((bit % 32 + 32) % 32)) & 1u; }

void bflush(int& flag, std::span<int> masks, std::span<int> hits, int& slot, int& nterm) {
    long all = (nterm >= 0 && nterm < 31) ? (1L << nterm) - 1 : -1;
    size_t n = std::min(masks.size(), hits.size());
    for (size_t i = 0; i < n; ++i) {
        masks[i] = hits[i] == all ? ibset(masks[i], slot) : ibclr(masks[i], slot);
        hits[i] = 0;
    }
    ++slot;
    nterm = 0;
    flag = 0;
}

}  // namespace kova
