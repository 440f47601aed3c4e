// The command table: every command word of kova and its driver.
#include <string>

#include "bd/bdrun.hpp"
#include "command/commands.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "elec/elec.hpp"
#include "mech/mech.hpp"
#include "molecule/edit.hpp"
#include "molecule/liveflags.hpp"
#include "molecule/params.hpp"
#include "molecule/print.hpp"
#include "molecule/read.hpp"
#include "molecule/superpose.hpp"
#include "molecule/transform.hpp"
#include "molecule/write.hpp"

namespace kova {

namespace {

void stop(Kova& k) { terminate_run(k); }
void extraneous_end(Kova& k) {
    msg(k, "NOTE: KOVA(035) Extraneous END ignored.");
    kvabort(k, note);
}
void mc(Kova& k) { msg(k, "ERROR: KOVA(020) MC not working"); }
void rism(Kova& k) { msg(k, "ERROR: KOVA(030) RISM not working"); }
void debug_on(Kova& k) { k.flags.debug = true; }
void debug_off(Kova& k) { k.flags.debug = false; }
void batch(Kova& k) {
    k.flags.batch = true;
    k.flags.bomb = 2;
}
void inter(Kova& k) {
    k.flags.batch = false;
    k.flags.bomb = 4;
}

struct Command {
    std::string_view word;
    bool prefix;              // matched on the word's first characters
    void (*driver)(Kova&);    // null: recognised but not available in this build
};

// Tried in this order.
constexpr Command table[] = {
    {"stop", false, stop},
    {"exit", false, stop},
    {"quit", false, stop},
    {"bye", false, stop},
    {"man", false, man},
    {"read", false, reed},
    {"open", false, opn},
    {"close", false, clos},
    {"write", false, right},
    {"print", false, prt},
    {"set", false, set},
    {"edit", false, edit},
    {"em", false, emdrv},
    {"md", false, mddrv},
    {"rdtop", false, rdtop},
    {"nblist", false, nblist},
    {"trans", false, trans},
    {"trajframe", false, trajframe},
    {"live", false, live},
    {"real", false, realatom},
    {"maktrj", false, maktrj},
    {"soften", false, soften},
    {"langevin", false, langevin},
    {"rms", false, rms},
    {"lsqfit", false, lsqfit},
    {"cons", false, cons},
    {"check_cons", false, chkcns},
    {"bd", false, bddrv},
    {"elec", false, eledrv},
    {"gbn", false, gbndrv},
    {"energy", false, energy},
    {"toropt", false, nullptr},
    {"tormin", false, nullptr},
    {"mc", false, mc},
    {"rism", false, rism},
    {"anal", false, anldrv},
    {"mode", false, mode},
    {"while", false, kvwhil},
    {"endwhile", false, endwhile},
    {"if", false, kvif},
    {"else", false, kvelse},
    {"endif", false, endif},
    {"dime", true, kvdime},
    {"assi", true, assign},
    {"debug", false, debug_on},
    {"nodebug", false, debug_off},
    {"batch", false, batch},
    {"inter", false, inter},
    {"end", false, extraneous_end},
    {"eof", true, end_of_input},
    {"stre", true, stream},
};

}  // namespace

void dispatch(Kova& k, std::string_view word) {
    for (const Command& c : table) {
        bool hit = c.prefix ? word.substr(0, c.word.size()) == c.word : word == c.word;
        if (!hit) continue;
        if (c.driver) {
            c.driver(k);
        } else {
            // A command of a part of the program not built yet: said plainly,
            // and treated as an error so that a deck relying on it stops here
            // instead of going on with missing results.
            msg(k, "ERROR: KOVA(040) command not available yet: ", word);
            kvabort(k, error);
        }
        return;
    }
    msg(k, "SERIOUS: KOVA(050) unknown keyword: ", pad(word, linlen));
    kvabort(k, serious);
}

}  // namespace kova
