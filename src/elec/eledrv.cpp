// The elec command: settings, grid geometry, listing, and the set-up driver.
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"
#include "fortio/format.hpp"
#include "molecule/select.hpp"

namespace kova {

void edef(Kova& k) {
    GridStore& g = k.mess;
    Environment& e = k.env;
    MoleculeStore& m = k.mol;
    g.conv = 1.0e-6f;
    g.h = 1.25f;
    g.nx = g.ny = g.nz = maxgrd;
    g.update_counts();
    g.maxits = 100;
    g.bcfl = 0;
    g.solv = 1;
    g.threads = 0;
    g.igeom = 0;
    g.iorig = 3;
    g.ispac = -1;
    g.idime = -1;
    g.nsph = 200;
    g.nlmaxi = 5;
    g.nltole = 0.1f;
    g.smooth = true;
    g.anal = false;
    g.newmap = false;
    g.volu = false;
    g.olds = false;
    g.dhrad = m.natom >= 1 ? m.radi[1] : 0.0f;
    for (int i = 1; i <= m.natom; ++i) g.isel[i] = 0;
    k.flags.debug = false;
    e.pdie = 2.0f;
    e.sdie = 78.0f;
    e.cion = 0.0f;
    e.temp = 300.0f;
    e.action = "calc";
    e.epsint = e.pdie * eps0;
    e.epsout = e.sdie * eps0;
    e.kappa = 0.0f;
}

void inigrd(Kova& k) {
    GridStore& g = k.mess;
    const int n = g.nxyz;
    const int th = grid_threads(g);
    fill_points(th, g.work.data(), 1, n, 0.0f);
    fill_points(th, g.iacs.data(), 1, n, 0.0f);
    if (g.reps) return;  // the maps read from files stand
    const float eo = k.env.epsout;
    for (auto* map : {&g.epsi, &g.epsj, &g.epsk}) fill_points(th, map->data(), 1, n, eo);
    // The last plane of each staggered map lies on the boundary face.
    for (int kk = 1; kk <= g.nz; ++kk)
        for (int j = 1; j <= g.ny; ++j) g.epsi[g.index(g.nx, j, kk)] = 0.0f;
    for (int kk = 1; kk <= g.nz; ++kk)
        for (int i = 1; i <= g.nx; ++i) g.epsj[g.index(i, g.ny, kk)] = 0.0f;
    for (int j = 1; j <= g.ny; ++j)
        for (int i = 1; i <= g.nx; ++i) g.epsk[g.index(i, j, g.nz)] = 0.0f;
}

void pushms(Kova& k) {
    GridStore& g = k.mess;
    g.hsav = g.h, g.xosav = g.xo, g.yosav = g.yo, g.zosav = g.zo;
    g.nxsav = g.nx, g.nysav = g.ny, g.nzsav = g.nz;
}

void popms(Kova& k) {
    GridStore& g = k.mess;
    g.h = g.hsav, g.xo = g.xosav, g.yo = g.yosav, g.zo = g.zosav;
    g.nx = g.nxsav, g.ny = g.nysav, g.nz = g.nzsav;
    g.update_counts();
}

void elec(Kova& k) {
    GridStore& g = k.mess;
    g.phibad = false;  // set again by a solve that fails
    chkbox(k);
    fill_points(grid_threads(g), g.diagm.data(), 1, g.nxyz, 0.0f);
    fill_points(grid_threads(g), g.rhs.data(), 1, g.nxyz, 0.0f);
    bound(k);  // before the maps are rebuilt: focusing reads the previous ones
    inigrd(k);
    exclud(k);
    charge(k);
    const std::string& act = k.env.action;
    if (act != "calc" && act != "init") return;
    if (k.flags.debug)
        k.units.write(k.files.outunit, fortio::list_write({std::string_view("... (ELEC) calculating potential")}));
    if (!g.anal) {
        potent(k);
        g.phiset = !g.phibad;  // a failed solve leaves zeros, not a potential
        return;
    }
    potana(k);
    // No iterations: the summary that follows reports none.
    g.iters = 0;
    g.bnorm = g.rnorm = 0.0f;
}

namespace {

std::string_view mode_word(int mode) {
    switch (mode) {
        case -1: return "default values";
        case 0: return "previous values";
        case 1: return "user values";
    }
    return "";
}

// Centres an axis of n points on c.
float centred(float c, int n, float h) { return c - static_cast<float>(n + 1) * h / 2.0f; }

// Admits a value read for a physical quantity when it is finite and lies in
// [lo, hi] (above lo when lo is excluded); written so that NaN fails every
// test. Otherwise "SERIOUS: eledrv(code) <what> must be <range>: <value>",
// and the keyword is ignored when the run goes on.
bool admit(Kova& k, float v, float lo, float hi, bool lo_excluded, std::string_view code, std::string_view what) {
    if (std::isfinite(v) && (lo_excluded ? v > lo : v >= lo) && v <= hi) return true;
    msg(k, "SERIOUS: eledrv(" + std::string(code) + ") ", what, ": " + value_text(v));
    kvabort(k, serious);
    return false;
}

constexpr float unbounded = std::numeric_limits<float>::max();
// Static relative permittivities of matter lie at or above that of vacuum
// (1); giant-permittivity ceramics reach about 1e5, the most the listing's
// field shows. The bounds also keep products of two permittivities (the
// boundary cover rule) well within single precision.
constexpr float dielectric_max = 1.0e5f;
// Ionic strength (mM): saturated brines stay below about 20 M (CaCl2, whose
// divalent ion counts four times), and a solution cannot hold ions much
// denser than liquid water's own 55.5 M molecules. 100 M leaves room for any
// real solution while refusing a value typed in the wrong unit; there the
// Debye length is already below a third of an Angstrom, far under any grid
// spacing, and the listing's field still shows the value.
constexpr float ionic_max = 1.0e5f;

}  // namespace

void eleban(Kova& k) {
    const GridStore& g = k.mess;
    const Environment& e = k.env;
    out(k, "(1x,'ELECTROSTATIC MODULE')");
    out(k, "(1x,'GRID CONSTANTS')");
    if (g.idime >= -1 && g.idime <= 1)
        out(k, "(1x,'  Grid dimensioned to                   (same dime) :',a20)", pad(mode_word(g.idime), 20));
    out(k, "(1x,'  Grid dimensions                      (dime # # #) :',i3,',',i3,',',i3)", g.nx, g.ny, g.nz);
    static const char* const located[5] = {"previous values", "origin specified.", "center specified.",
                                           "centering on origin", "centering on atoms"};
    if (g.iorig >= 0 && g.iorig <= 4)
        out(k, "(1x,'  Grid located by   (gcen,gcor,cent,same orig,gori) :',a20)", pad(located[g.iorig], 20));
    out(k,
        "(1x,'  Grid range (min,max)                              :',f10.3,'  A    ',f10.3,'  A'/'"
        "                                                      ',f10.3,'  A    ',f10.3,'  A'/'"
        "                                                      ',f10.3,'  A    ',f10.3,'  A')",
        g.xo, g.xo + g.nx * g.h, g.yo, g.yo + g.ny * g.h, g.zo, g.zo + g.nz * g.h);
    if (g.ispac >= -1 && g.ispac <= 1)
        out(k, "(1x,'  Grid spacing set to                   (same dime) :',a20)", pad(mode_word(g.ispac), 20));
    out(k, "(1x,'  Grid spacing                           (grid #.#) :',f10.3,'  A')", g.h);
    out(k, "(1x,'  Do analytic potential calculation     (no/analyt) :',l10)", g.anal);
    out(k, "(1x,'DIELECTRIC MAP DEFINITIONS')");
    out(k, "(1x,'Use probe-accessible surface definition (newmap):',l10)", g.newmap);
    if (g.newmap) {
        out(k, "(1x,'  Solvent probe radius:',f10.5)", g.rsolv);
        out(k, "(1x,'  Number of surface points per atom sphere:',i10)", g.nsph);
    }
    out(k, "(1x,'  Utilize dielectric boundary smoothing (no/smooth) :',l10)", g.smooth);
    out(k, "(1x,'BOUNDARY CONDITION CONSTANTS')");
    out(k, "(1x,'  Boundary condition flag                  (bcfl #) :',i10)", g.bcfl);
    switch (g.bcfl) {
        case 0: out(k, "(1x,'    - zero potential on boundary')"); break;
        case 1:
            out(k, "(1x,'    - protein as a single DH sphere')");
            out(k, "(1x,'  Effective Debye-Huckel radius         (dhrad #.#) :',f10.3,'  A')", g.reff);
            out(k, "(1x,'  Effective charge                                  :',f10.3,'  A')", g.qnet);
            break;
        case 2: out(k, "(1x,'    - sum of atoms as independent DH spheres')"); break;
        case 3:
            out(k, "(1x,'    - uniform applied electric field')");
            out(k, "(1x,'  Applied electric field                 (efld #.#) :',e10.4,'  V/m')",
                g.efld * field_to_vm);
            break;
        default: break;
    }
    out(k, "(1x,'ENVIRONMENTAL CONSTANTS')");
    out(k, "(1x,'  Interior dielectric constant           (pdie #.#) :',f10.3)", e.pdie);
    out(k, "(1x,'  Interior permittivity                             :',e10.4,' e^2ps^2/amuA^3')", e.epsint);
    out(k, "(1x,'  Solvent dielectric constant            (sdie #.#) :',f10.3)", e.sdie);
    out(k, "(1x,'  Solvent permittivity                              :',e10.4,' e^2ps^2/amuA^3')", e.epsout);
    out(k, "(1x,'  Temperature                            (temp #.#) :',f10.3,'  K')", e.temp);
    out(k, "(1x,'  Ionic strength                         (ions #.#) :',f10.3,'  mM')", e.cion * density_to_mm);
    out(k, "(1x,'  Debye-Huckel parameter                            :',f10.3,'  1/A')", e.kappa);
    out(k, "(1x,'ATOM SELECTION')");
    out(k, "(1x,'  Number of atoms selected                (mol#...) :',i10)", g.nsel);
    out(k, "(1x,'  X-coordinate of the center of geometry            :',f10.3,'    A')", g.xcen);
    out(k, "(1x,'  Y-coordinate of the center of geometry            :',f10.3,'    A')", g.ycen);
    out(k, "(1x,'  Z-coordinate of the center of geometry            :',f10.3,'    A')", g.zcen);
    out(k, "(1x,'  Net charge of the selected atoms                  :',f10.3,'    e')", g.qnet);
    out(k, "(1x,'  Effective radius of the selected atoms            :',f10.3,'    A')", g.reff);
    out(k, "(1x,'ITERATION VALUES')");
    out(k, "(1x,'  Maximum iterations                       (maxi #) :',i10)", g.maxits);
    out(k, "(1x,'  Convergence criteria                   (conv #.#) :',e10.4)", g.conv);
    out(k, "(1x,'  Linear equation solver flag              (solv #) :',i10)", g.solv);
    if (g.solv == 0) out(k, "(1x,'    - diagonal-scaling preconditioned conjugate',' gradient')");
    if (g.solv == 1) out(k, "(1x,'    - incomplete Cholesky preconditioned conjugate',' gradient')");
    if (g.solv == 2) out(k, "(1x,'    - multigrid preconditioned conjugate',' gradient')");
    if (g.threads > 0) out(k, "(1x,'  Threads for the grid work                (thre #) :',i10)", g.threads);
    if (g.nonl == -1) {
        out(k, "(1x,'  Non-Linear solver                        (full  ) :',10x)");
        out(k, "(1x,'    maximum iterations to find step size   (nlmaxi) :',i10)", g.nlmaxi);
        out(k, "(1x,'    tolerance in convergence of step size  (nltole) :',f10.5)", g.nltole);
    }
}

void eledrv(Kova& k) {
    GridStore& g = k.mess;
    Environment& e = k.env;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    // A refused command leaves the grid, the environment and the settings
    // that the reports of the print command read with them as they were.
    struct Kept {
        float h, xo, yo, zo;
        int nx, ny, nz;
        Environment env;
        bool anal;
        int nonl, bcfl;
        float efld, rion, rsolv, dhrad;
        Arr1<int, maxatm> isel;
    };
    const Kept kept{g.h, g.xo, g.yo, g.zo, g.nx, g.ny, g.nz, e, g.anal, g.nonl, g.bcfl,
                    g.efld, g.rion, g.rsolv, g.dhrad, g.isel};
    auto refuse = [&] {
        g.h = kept.h, g.xo = kept.xo, g.yo = kept.yo, g.zo = kept.zo;
        g.nx = kept.nx, g.ny = kept.ny, g.nz = kept.nz;
        g.update_counts();
        e = kept.env;
        g.anal = kept.anal, g.nonl = kept.nonl, g.bcfl = kept.bcfl;
        g.efld = kept.efld, g.rion = kept.rion, g.rsolv = kept.rsolv, g.dhrad = kept.dhrad;
        g.isel = kept.isel;
    };
    edef(k);
    bool explicit_sel = false;
    g.nonl = 0;
    g.reps = false;
    g.samsrf = false;
    int mcen = 0;
    float gx = 0, gy = 0, gz = 0;  // origin given (gori) or centre given (gcen)

    auto select_molecule = [&](int mol) {
        if (mol >= 1 && mol <= m.nmol) {
            for (int i = m.fstatm[mol]; i <= m.lstatm[mol]; ++i) g.isel[i] = 1;
        } else {
            fwrite(k, k.files.msgunit, "(1x,'WARNING: eledrv(000) improper molecule number: ',i10)", mol);
            kvabort(k, warning);
        }
    };

    for (;;) {
        std::string w = getnam(k, in, "Elec");
        if (w == "end") break;
        std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w == "all") {
            for (int i = 1; i <= m.natom; ++i) g.isel[i] = 1;
            explicit_sel = true;
        } else if (w4 == "reps") {
            g.reps = true;
            g.iorig = 5, g.ispac = 2, g.idime = 2;
        } else if (w4 == "volu") {
            g.volu = true;
        } else if (w4 == "nmap") {
            const float r = getnum(k, in, "Elec");
            if (admit(k, r, 0.0f, unbounded, false, "067", "solvent probe radius (nmap) must be finite and at least 0 A")) {
                g.rsolv = r;
                g.newmap = true;
            }
        } else if (w4 == "sams") {
            g.samsrf = true;
        } else if (w4 == "nsph") {
            g.nsph = getint(k, in, "Elec");
        } else if (w4 == "pdie") {
            const float d = getnum(k, in, "Elec");
            if (admit(k, d, 1.0f, dielectric_max, false, "061",
                      "interior dielectric constant (pdie) must be between 1 and 100000")) {
                e.pdie = d;
                e.epsint = e.pdie * eps0;
            }
        } else if (w4 == "sdie") {
            const float d = getnum(k, in, "Elec");
            if (admit(k, d, 1.0f, dielectric_max, false, "062",
                      "solvent dielectric constant (sdie) must be between 1 and 100000")) {
                e.sdie = d;
                e.epsout = e.sdie * eps0;
            }
        } else if (w4 == "srfd") {
            const float d = getnum(k, in, "Elec");
            if (admit(k, d, 1.0f, dielectric_max, false, "063",
                      "surface dielectric constant (srfd) must be between 1 and 100000")) {
                e.srfd = d;
                e.srfdeps = e.srfd * eps0;
                e.srfdgiven = true;
            }
        } else if (w4 == "ions") {
            const float c = getnum(k, in, "Elec");
            if (admit(k, c, 0.0f, ionic_max, false, "064", "ionic strength (ions) must be between 0 and 100000 mM"))
                e.cion = c * mm_to_density;
        } else if (w4 == "rion") {
            const float r = getnum(k, in, "Elec");
            if (admit(k, r, 0.0f, unbounded, false, "066", "ion-exclusion radius (rion) must be finite and at least 0 A"))
                g.rion = r;
        } else if (w4 == "temp") {
            const float t = getnum(k, in, "Elec");
            if (admit(k, t, 0.0f, unbounded, true, "065", "temperature (temp) must be finite and above 0 K")) e.temp = t;
        } else if (w4 == "olds") {
            g.olds = true, g.smooth = true;
        } else if (w4 == "news") {
            g.olds = false, g.smooth = true;
        } else if (w4 == "smoo") {
            g.smooth = true;
        } else if (w4 == "nosm") {
            g.smooth = false;
        } else if (w4 == "conv") {
            const float c = getfp(k, in, "Elec");
            if (admit(k, c, 0.0f, unbounded, false, "068", "convergence criterion (conv) must be finite and at least 0"))
                g.conv = c;
        } else if (w4 == "dhra") {
            const float r = getnum(k, in, "Elec");
            if (admit(k, r, 0.0f, unbounded, false, "069", "Debye-Hueckel radius (dhra) must be finite and at least 0 A"))
                g.dhrad = r;
        } else if (w4 == "maxi") {
            g.maxits = getint(k, in, "Elec");
        } else if (w4 == "solv") {
            g.solv = getint(k, in, "Elec");
        } else if (w4 == "thre") {
            const int t = getint(k, in, "Elec");
            if (t >= 0 && t <= 1024) {
                g.threads = t;
            } else {
                msg(k, "SERIOUS: eledrv(075) number of threads (thre) must be between 0 and 1024: " + std::to_string(t));
                kvabort(k, serious);
            }
        } else if (w4 == "efld") {
            const float f = getnum(k, in, "Elec");
            if (admit(k, f, -unbounded, unbounded, false, "071", "applied field (efld) must be finite"))
                g.efld = f * vm_to_field;
        } else if (w4 == "bcfl") {
            g.bcfl = getint(k, in, "Elec");
        } else if (w4 == "nlto") {
            const float t = getfp(k, in, "Elec");
            if (admit(k, t, 0.0f, unbounded, false, "072", "step-size tolerance (nlto) must be finite and at least 0"))
                g.nltole = t;
        } else if (w4 == "nlma") {
            g.nlmaxi = getint(k, in, "Elec");
        } else if (w4 == "debu") {
            k.flags.debug = true;
        } else if (w4 == "calc" || w4 == "setu" || w4 == "init") {
            e.action = std::string(w4);
        } else if (w4 == "same") {
            std::string q = getnam(k, in, "Elec");
            std::string_view q4 = std::string_view(q).substr(0, 4);
            if (q4 == "orig") g.iorig = 0;
            else if (q4 == "spac") g.ispac = 0;
            else if (q4 == "dime") g.idime = 0;
            else if (q4 == "grid") g.iorig = g.ispac = g.idime = 0;
            else {
                fwrite(k, k.files.msgunit, "(1x,'SERIOUS: eledrv(005) unknown SAME qualifier: ',a)", q);
                kvabort(k, serious);
            }
        } else if (w4 == "gori" || w4 == "gcen") {
            const float x = getfp(k, in, "X-coordinate of the grid origin");
            const float y = getfp(k, in, "Y-coordinate of the grid origin");
            const float z = getfp(k, in, "Z-coordinate of the grid origin");
            if (std::isfinite(x) && std::isfinite(y) && std::isfinite(z)) {
                gx = x, gy = y, gz = z;
                g.iorig = w4 == "gori" ? 1 : 2;
            } else {
                msg(k, "SERIOUS: eledrv(073) ", w4 == "gori" ? "grid origin (gori)" : "grid centre (gcen)",
                    " must be finite: " + value_text(x) + ", " + value_text(y) + ", " + value_text(z));
                kvabort(k, serious);
            }
        } else if (w4 == "gcor") {
            g.iorig = 3;
        } else if (w4 == "cent") {
            g.iorig = 4;
        } else if (w4 == "mcen") {
            float v = getnum(k, in, "Elec");
            mcen = std::isfinite(v) && std::fabs(v) < 1e9f ? static_cast<int>(v) : 0;
            g.iorig = 6;
        } else if (w4 == "grid" || w4 == "spac") {
            float h = getfp(k, in, "Elec");
            if (!(h > 0.0f)) {
                // A grid needs a positive spacing.
                msg(k, "WARNING: eledrv(056) grid spacing must be positive. spacing not changed.");
                kvabort(k, warning);
            } else if (admit(k, h, 0.0f, 1000.0f, true, "057", "grid spacing (grid) must be at most 1000 A")) {
                // 65 points 1000 A apart span 64 000 A, far beyond any
                // molecule or diffusion space; a larger spacing only makes
                // the grid extent and every position on it overflow.
                g.h = h;
                g.ispac = 1;
            }
        } else if (w4 == "dime") {
            int nx = getint(k, in, "Elec"), ny = getint(k, in, "Elec"), nz = getint(k, in, "Elec");
            g.idime = 1;
            if (nx < 1 || ny < 1 || nz < 1) {
                // A grid needs at least one point along each axis.
                msg(k, "WARNING: eledrv(055) grid dimensions must be positive. reset to 65 cubed.");
                kvabort(k, warning);
                nx = ny = nz = maxgrd;
            } else if (!grid_fits(nx, ny, nz, maxgrid)) {
                fwrite(k, k.files.msgunit,
                       "(1x,'WARNING: eledrv(050) requested grid too large. ','max=',i3,' cubed. reset to max.')",
                       maxgrd);
                kvabort(k, warning);
                nx = ny = nz = maxgrd;
            }
            g.nx = nx, g.ny = ny, g.nz = nz;
        } else if (w4 == "nonl") {
            g.nonl = getint(k, in, "Elec");
        } else if (w4 == "full") {
            g.nonl = -1;
        } else if (w4 == "line") {
            g.nonl = 0;
        } else if (w4 == "anal") {
            g.anal = true;
        } else if (w4 == "noan") {
            g.anal = false;
        } else if (w4 == "sele") {
            sele(k, g.isel);
            explicit_sel = true;
        } else if (w4.substr(0, 3) == "mol") {
            int mol;
            if (w == "mol1") mol = 1;
            else if (w == "mol2") mol = 2;
            else if (w.size() > 3 && w.find_first_not_of("0123456789", 3) == std::string::npos && w.size() < 9)
                mol = std::stoi(w.substr(3));  // mol3, mol12: the number written in the word
            else mol = getint(k, in, "Elec");
            select_molecule(mol);
            explicit_sel = true;
        } else if (w4 == "fixe") {
            for (int s = 1; s <= m.nsbtot; ++s)
                if (m.sbfix[s] == 0)
                    for (int i = std::max(m.sbfat[s], 1); i <= std::min(m.sblat[s], maxatm); ++i) g.isel[i] = 0;
        } else {
            fwrite(k, k.files.msgunit, "(1x,'SERIOUS: eledrv(010) unknown keyword: ',a)", w);
            kvabort(k, serious);
        }
    }

    g.smvdw = g.smprb = false;
    if (g.smooth) {
        if (g.newmap) {
            if (0.5f * g.h >= g.rsolv) {
                out(k, "(1x,'WARNING: eledrv (060) solvent probe radius (rsolv)     too small for reliable "
                       "smoothing with newmap surface.')");
                kvabort(k, warning);
            }
            g.smprb = true;
        } else {
            g.smvdw = true;
        }
    }
    if (g.reps && (g.hrep <= 0.0f || g.nxrep < 1 || g.nyrep < 1 || g.nzrep < 1)) {
        // Nothing to reproduce before a permittivity map has been read.
        fwrite(k, k.files.msgunit, "(1x,'WARNING: eledrv(080) no dielectric grid file read. reps ignored.')");
        kvabort(k, warning);
        g.reps = false;
        if (g.iorig == 5) g.iorig = 3;
        if (g.ispac == 2) g.ispac = -1;
        if (g.idime == 2) g.idime = -1;
    }
    if (g.volu && e.epsint == e.epsout) {
        g.volu = false;
        out(k, "(1x,'NOTE: eledrv (070) Cannot compute volumes if','epsint=epsout. Will not do the computation.')");
        kvabort(k, note);
    }
    if (!g.newmap && g.samsrf) {
        out(k, "(1x,'NOTE: You are using samsrf=.true.',' with vdw surface definition.')");
        kvabort(k, note);
    }
    e.kappa = std::sqrt(2.0f * e.cion / (gasconst * e.epsout * e.temp));
    if (!explicit_sel) select_molecule(1);
    if (!std::isfinite(e.kappa)) {
        // Only a temperature near 0 K gets here: every value was admitted.
        msg(k, "SERIOUS: eledrv(074) Debye-Hueckel parameter not finite for the ionic strength, solvent",
            " dielectric constant and temperature given: " + value_text(e.kappa));
        kvabort(k, serious);
        return refuse();
    }
    if (e.action == "calc" || e.action == "setu") {
        // Mapping uses the charge and radius of every selected atom (of every
        // atom in the surface mode) and the radius of every atom, whose
        // ion-exclusion sphere it marks.
        Arr1<int, maxatm> used = g.isel;
        if (e.srfdgiven) used.fill(1);
        if (!params_set(k, used, true, "eledrv(090)")) return refuse();
    }

    // The selected atoms: count, centre of geometry, net charge.
    g.nsel = 0;
    double sx = 0, sy = 0, sz = 0, q = 0;
    for (int i = 1; i <= m.natom; ++i) {
        if (!g.isel[i]) continue;
        ++g.nsel;
        sx += m.x[i], sy += m.y[i], sz += m.z[i], q += m.chrg[i];
    }
    g.xcen = g.ycen = g.zcen = 0.0f;
    if (g.nsel > 0) {
        g.xcen = static_cast<float>(sx / g.nsel);
        g.ycen = static_cast<float>(sy / g.nsel);
        g.zcen = static_cast<float>(sz / g.nsel);
    }
    g.qnet = static_cast<float>(q);
    g.reff = g.dhrad;

    if (g.hold < 0) {
        if (g.iorig == 0) {
            g.iorig = 3;
            out(k, "(1x,'NOTE: eledrv(020) no previous grid.',' grid will be centered on the origin.')");
            kvabort(k, note);
        }
        if (g.ispac == 0) {
            g.ispac = 1;
            out(k, "(1x,'NOTE: eledrv(030) no previous grid.',' spacing will be the default value.')");
            kvabort(k, note);
        }
        if (g.idime == 0) {
            g.idime = 1;
            out(k, "(1x,'NOTE: eledrv(040) no previous grid.',' dimensions will be their default value.')");
            kvabort(k, note);
        }
    }
    if (g.ispac == 0) g.h = g.hold;
    if (g.ispac == 2) g.h = g.hrep;
    if (g.idime == 0) g.nx = g.nxold, g.ny = g.nyold, g.nz = g.nzold;
    if (g.idime == 2) g.nx = g.nxrep, g.ny = g.nyrep, g.nz = g.nzrep;
    g.update_counts();
    switch (g.iorig) {
        case 0: g.xo = g.xoold, g.yo = g.yoold, g.zo = g.zoold; break;
        case 1: g.xo = gx, g.yo = gy, g.zo = gz; break;
        case 2:
            g.xo = centred(gx, g.nx, g.h), g.yo = centred(gy, g.ny, g.h), g.zo = centred(gz, g.nz, g.h);
            break;
        case 3: g.xo = centred(0, g.nx, g.h), g.yo = centred(0, g.ny, g.h), g.zo = centred(0, g.nz, g.h); break;
        case 4:
            g.xo = centred(g.xcen, g.nx, g.h), g.yo = centred(g.ycen, g.ny, g.h), g.zo = centred(g.zcen, g.nz, g.h);
            break;
        case 5: g.xo = g.xorep, g.yo = g.yorep, g.zo = g.zorep; break;
        case 6: {
            float cx = 0, cy = 0, cz = 0;
            if (mcen >= 1 && mcen <= m.nmol && m.lstatm[mcen] >= m.fstatm[mcen]) {
                double ax = 0, ay = 0, az = 0;
                for (int i = m.fstatm[mcen]; i <= m.lstatm[mcen]; ++i) ax += m.x[i], ay += m.y[i], az += m.z[i];
                double n = m.lstatm[mcen] - m.fstatm[mcen] + 1;
                cx = static_cast<float>(ax / n), cy = static_cast<float>(ay / n), cz = static_cast<float>(az / n);
            } else {
                fwrite(k, k.files.msgunit, "(1x,'WARNING: eledrv(000) improper molecule number: ',i10)", mcen);
                kvabort(k, warning);
            }
            g.xo = centred(cx, g.nx, g.h), g.yo = centred(cy, g.ny, g.h), g.zo = centred(cz, g.nz, g.h);
            break;
        }
    }

    eleban(k);
    if (e.action == "calc") {
        out(k, "(1x,'PERFORMING SETUP AND CALCULATION')");
        elec(k);
        out(k, "(1x,'ITERATION SUMMARY')");
        out(k, "(1x,'  Iterations required                               :',i10)", g.iters);
        out(k, "(1x,'  Norm of the constant vector                       :',e10.4)", g.bnorm);
        out(k, "(1x,'  Norm of the residual vector                       :',e10.4)", g.rnorm);
        out(k, "(1x,'  Convergence achieved                              :',e10.4)",
            g.bnorm != 0.0f ? g.rnorm / g.bnorm : 0.0f);
    } else if (e.action == "setu") {
        out(k, "(1x,'PERFORMING SETUP ONLY')");
        elec(k);
    }
    if (g.phibad && e.action != "init") {
        // The solve failed and set phi to zeros: there is no previous grid
        // to focus from or to reuse.
        g.hold = g.xoold = g.yoold = g.zoold = -9999.0f;
        g.nxold = g.nyold = g.nzold = -9999;
        return;
    }
    g.hold = g.h;
    g.nxold = g.nx, g.nyold = g.ny, g.nzold = g.nz;
    g.xoold = g.xo, g.yoold = g.yo, g.zoold = g.zo;
}

}  // namespace kova
