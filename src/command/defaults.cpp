// Start-up defaults of every store of the program, set in a fixed order.
#include <algorithm>
#include <string>

#include "bd/bdrun.hpp"
#include "command/commands.hpp"
#include "command/mainloop.hpp"

namespace kova {

void inidef(Kova& k) {
    // The generator is seeded first of all, and again below once the seeds
    // hold their start-up values.
    rndini(k);

    FileUnits& f = k.files;
    f = FileUnits{};
    k.flags.flagsl[16] = false;
    k.flags.flagsl[17] = false;

    k.tok.istrm = 50;
    k.tok.mxstrm = 60;

    for (int i = 1; i <= 20; ++i) {
        f.flxunit[i] = 20 + i;
        f.flxname[i] = "flx" + std::to_string(i) + ".trj";
    }

    k.flags.batch = true;
    k.flags.bomb = 3;
    k.flags.timing = false;
    k.flags.iflev = 0;
    k.flags.whlev = 0;
    f.loopunit = 60;
    f.mxloop = 70;
    k.tok.nsave = 0;

    // Random seeds, then the generator seeded from them.
    k.rnd.ijsd1 = 2193;
    k.rnd.ijsd2 = 8247;
    k.rnd.klsd1 = 3283;
    k.rnd.klsd2 = 7536;
    rndini(k);

    // Molecule store: every slot marked unset, no molecules or subunits.
    k.mol.reset();
    k.rd = ReadState{};

    // Electrostatics: no previous grid, the potential zeroed; 300 K.
    GridStore& g = k.mess;
    g.hold = g.xoold = g.yoold = g.zoold = -9999.0f;
    g.nxold = g.nyold = g.nzold = -9999;
    std::fill(g.phi.begin(), g.phi.end(), 0.0f);
    k.env.temp = 300.0f;

    // Brownian dynamics: the run set-up and reaction criteria of a bd
    // command without keywords, for the listing before any bd command.
    bddef(k);

    setvar(k, "dead", 0, 0.0);
}

}  // namespace kova
