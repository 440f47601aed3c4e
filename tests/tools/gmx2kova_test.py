#!/usr/bin/env python3
"""Tests of tools/gmx2kova.

    gmx2kova_test.py unit TOOL                  hand-written topologies, no GROMACS
    gmx2kova_test.py gromacs TOOL DATA [KOVA]   pdb2gmx on a real protein; exit 77
                                                (skipped) when gmx is not installed

The converted numbers are checked against CHARMM's own parameters worked by
hand, and the converted topology's energies against those GROMACS computes
for the same coordinates."""

import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print(f"FAIL: {what}")


def close(a, b, tol=1e-6):
    return abs(a - b) <= tol * max(1.0, abs(b))


def run(cmd, cwd, stdin=None):
    p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, input=stdin, timeout=300)
    return p.returncode, p.stdout, p.stderr


def read_kova(top_path, pdb_path):
    """The sections of a kova "!N" topology and the atoms of its PDB file."""
    sec, cur = {}, None
    with open(top_path) as f:
        for line in f:
            w = line.split()
            if w and w[0].startswith("!N"):
                cur = w[0]
                sec[cur] = {"n": int(w[1]), "rows": []}
            elif cur and w and not w[0].startswith("*"):
                sec[cur]["rows"].append(w)
    atoms = []
    with open(pdb_path) as f:
        for line in f:
            if line.startswith("ATOM"):
                atoms.append((line[12:16].strip(), line[17:21].strip(), int(line[22:26]),
                              float(line[30:38]), float(line[38:46]), float(line[46:54])))
    t = {
        "atoms": [(w[1], float(w[2]), float(w[3]), *map(float, w[4:8]))
                  for w in sec["!NATOM"]["rows"]],
        "bonds": [(int(w[0]), int(w[1]), float(w[2]), float(w[3]))
                  for w in sec["!NBOND:"]["rows"]],
        "angles": [(int(w[0]), int(w[1]), int(w[2]), float(w[3]), float(w[4]))
                   for w in sec["!NTHETA"]["rows"]],
        "dihedrals": [(*map(int, w[:4]), float(w[4]), int(w[5]), float(w[6]))
                      for w in sec["!NPHI:"]["rows"]],
        "impropers": [(*map(int, w[:4]), float(w[4]), float(w[5]))
                      for w in sec["!NIMPHI"]["rows"]],
        "final": [int(x) for x in sec["!NFINAL:"]["rows"][0]],
        "pdb": atoms,
        "headers": list(sec),
    }
    return t


# -- kova's energy terms, written from their textbook forms -----------------

def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def dihedral(p1, p2, p3, p4):
    """IUPAC dihedral (trans = 180 degrees), radians."""
    b1, b2, b3 = sub(p2, p1), sub(p3, p2), sub(p4, p3)
    m, n = cross(b1, b2), cross(b2, b3)
    return math.atan2(math.sqrt(dot(b2, b2)) * dot(b1, n), dot(m, n))


def energies(t):
    """Bond (real bonds), Urey-Bradley bonds, angle, dihedral, improper, LJ 1-4
    energies (kcal/mol) and the 1-4 sum of q_i q_j / r (e^2/A), with kova's
    rules for the 1-4 list: dihedral ends that are not bonded or angle ends."""
    x = [a[3:6] for a in t["pdb"]]
    ang_ends = {tuple(sorted((a[0], a[2]))) for a in t["angles"]}
    e = dict.fromkeys(("bond", "ub", "angle", "dih", "imp", "lj14", "qq14"), 0.0)
    for i, j, k, b0 in t["bonds"]:
        r = math.dist(x[i - 1], x[j - 1])
        e["ub" if tuple(sorted((i, j))) in ang_ends else "bond"] += 0.5 * k * (r - b0) ** 2
    for i, j, k, kt, t0 in t["angles"]:
        u, v = sub(x[i - 1], x[j - 1]), sub(x[k - 1], x[j - 1])
        th = math.acos(max(-1.0, min(1.0, dot(u, v) / math.sqrt(dot(u, u) * dot(v, v)))))
        e["angle"] += 0.5 * kt * (th - t0) ** 2
    for i, j, k, l, kp, n, ph in t["dihedrals"]:
        phi = dihedral(x[i - 1], x[j - 1], x[k - 1], x[l - 1])
        e["dih"] += kp * (1 + math.cos(n * phi - ph))
    for i, j, k, l, kp, p0 in t["impropers"]:
        d = dihedral(x[i - 1], x[j - 1], x[k - 1], x[l - 1]) - p0
        d -= 2 * math.pi * round(d / (2 * math.pi))
        e["imp"] += 0.5 * kp * d * d
    excl = {tuple(sorted(b[:2])) for b in t["bonds"]} | ang_ends
    p14 = {tuple(sorted((d[0], d[3]))) for d in t["dihedrals"]} - excl
    s = 2.0 ** (-1.0 / 6.0)
    for i, j in p14:
        ai, aj = t["atoms"][i - 1], t["atoms"][j - 1]
        vi = ai[5:7] if ai[5] != 0 else ai[3:5]
        vj = aj[5:7] if aj[5] != 0 else aj[3:5]
        eps, sig = math.sqrt(vi[0] * vj[0]), (vi[1] + vj[1]) * s
        r = math.dist(x[i - 1], x[j - 1])
        e["lj14"] += 4 * eps * ((sig / r) ** 12 - (sig / r) ** 6)
        e["qq14"] += ai[2] * aj[2] / r
    return e, p14


def expect_error(tool, args, cwd, pattern, what):
    rc, out, err = run([sys.executable, tool] + args, cwd)
    check(rc == 1, f"{what}: exit status 1 (got {rc})")
    check("Traceback" not in err, f"{what}: no traceback")
    last = err.strip().split("\n")[-1]
    check(err.startswith("gmx2kova: error:") and re.search(pattern, last) is not None,
          f"{what}: message matching {pattern!r} (got {err.strip()!r})")


# -- a hand-written force field and molecule --------------------------------

TINY_FF = """\
[ defaults ]
; nbfunc comb-rule gen-pairs fudgeLJ fudgeQQ
1 2 yes 1.0 1.0
[ atomtypes ]
CA  6 12.011 0.0 A 0.356359487256 0.46024   ; Rmin/2 2.0 A, eps 0.11 kcal/mol
CB  6 12.011 0.0 A 0.356359487256 0.46024
HX  1  1.008 0.0 A 0.235197261589 0.092048  ; Rmin/2 1.32 A, eps 0.022
#ifdef HEAVY
OX  8 99.0   0.0 A 0.302905564168 0.50208
#else
OX  8 15.9994 0.0 A 0.302905564168 0.50208  ; Rmin/2 1.7 A, eps 0.12
#endif
[ pairtypes ]
CA CA 1 0.338541512893 0.04184             ; 1-4: Rmin/2 1.9 A, eps 0.01
CA HX 1 0.286869387 0.062058749          ; (1.9 + 1.32)/2^(1/6)/10, sqrt(0.04184 0.092048)
"""

TINY_BONDED = """\
#define KB 418400.0
[ bondtypes ]
CA CB 1 0.15 KB            ; 1.5 A, 1000 kcal/mol/A^2
CB HX 1 0.10 209200.0
CA HX 1 0.11 292880.0
CB OX 1 0.12 836800.0
[ angletypes ]
CA CB HX 5 90.0 418.4 0.25 41840.0       ; pi/2, 100 kcal/mol/rad^2; UB 2.5 A, 100
CA CB OX 5 120.0 836.8 0.0 0.0
HX CB OX 1 109.5 209.2
[ dihedraltypes ]
X  CA CB X  9 0.0   2.092 3              ; loses to the exact type below
HX CA CB HX 9 180.0 4.184 2              ; 1 kcal/mol, n 2, phase pi
HX CA CB HX 9 0.0   8.368 3              ; 2 kcal/mol, n 3, phase 0
HX CA CB HX 9 0.0   0.0   1              ; zero term: left out
[ dihedraltypes ]
OX X  X  CB 2 10.0 41.84                 ; 10 kcal/mol/rad^2, 10 degrees
"""

TINY_TOP = """\
#include "tiny_ff.itp"
#include "tiny_bonded.itp"
[ moleculetype ]
Tiny 3
[ atoms ]
; nr type resnr res atom cgnr charge mass
 1 HX 1 TNY H1  1  0.25  1.008
 2 CA 1 TNY C1  1 -0.50 12.011
 3 CB 1 TNY C2  2  0.40
 4 HX 1 TNY H2  2  0.10  1.008
 5 OX 1 TNY O1  3 -0.25
 6 HX 1 TNY H3  3  0.00  1.008
[ bonds ]
1 2 1
2 3 1
3 4 1
3 5 1
3 6 1
[ pairs ]
1 4 1
1 5 1
1 6 1
[ angles ]
2 3 4 5
2 3 5 5
4 3 5 1
[ dihedrals ]
1 2 3 4 9
1 2 3 6 9 0.0 4.184 1
5 2 4 3 2
[ cmap ]
1 2 3 4 5 1
[ system ]
tiny
[ molecules ]
Tiny 2
"""

TINY_GRO = """tiny
   12
{}    0.0 0.0 0.0
"""


def tiny_gro():
    names = ["H1", "C1", "C2", "H2", "O1", "H3"]
    rows = []
    n = 0
    for copy in range(2):
        for k, name in enumerate(names):
            n += 1
            rows.append(f"{1 + copy:5d}{'TNY':<5s}{name:>5s}{n:5d}"
                        f"{0.1 * k:8.3f}{0.05 * k * k:8.3f}{-0.1 - copy:8.3f}")
    return TINY_GRO.format("\n".join(rows))


def unit_tests(tool):
    d = tempfile.mkdtemp(prefix="gmx2kova_unit.")
    try:
        files = {"tiny_ff.itp": TINY_FF, "tiny_bonded.itp": TINY_BONDED,
                 "tiny.top": TINY_TOP, "tiny.gro": tiny_gro()}
        for name, text in files.items():
            with open(os.path.join(d, name), "w") as f:
                f.write(text)
        env_cmd = [sys.executable, tool, "tiny.top", "tiny.gro", "-o", "tiny_k.top",
                   "-p", "tiny_k.pdb"]
        rc, out, err = run(env_cmd, d)
        check(rc == 0, f"tiny topology converts (rc {rc}, {err.strip()})")
        if rc != 0:
            return
        check("2 CMAP correction terms left out" in err, "CMAP terms counted in a note")
        check("scales 1-4 electrostatics by 1" in err, "1-4 electrostatic scaling noted")
        t = read_kova(os.path.join(d, "tiny_k.top"), os.path.join(d, "tiny_k.pdb"))
        check(t["headers"] == ["!NTITLE", "!NATOM", "!NBOND:", "!NTHETA", "!NPHI:",
                               "!NIMPHI", "!NFINAL:", "!NDON"], "section order")
        # Two copies: 12 atoms; 5 bonds + 1 Urey-Bradley each; 3 angles; the
        # three-term type gives two records (its zero term dropped) plus one
        # explicit term; one improper.
        check(t["final"] == [12, 12, 6, 6, 2, 0], f"NFINAL counts {t['final']}")
        check(t["final"][:5] == [len(t["atoms"]), len(t["bonds"]), len(t["angles"]),
                                 len(t["dihedrals"]), len(t["impropers"])],
              "section lengths agree with NFINAL")
        # Atom 2 (CA): mass, charge, -eps 0.11, Rmin/2 2.0; 1-4 -0.01, 1.9 from
        # the self pair. Atom 1 (HX): its 1-4 values follow from the CA-HX pair.
        check(t["atoms"][1][0] == "CA" and all(close(a, b, 1e-5) for a, b in zip(
            t["atoms"][1][1:], (12.011, -0.5, -0.11, 2.0, -0.01, 1.9))), f"CA {t['atoms'][1]}")
        check(all(close(a, b, 1e-5) for a, b in zip(
            t["atoms"][0][1:], (1.008, 0.25, -0.022, 1.32, -0.022, 1.32))), f"HX {t['atoms'][0]}")
        check(close(t["atoms"][2][1], 12.011), "mass taken from the atom type")
        check(close(t["atoms"][4][1], 15.9994), "#else branch taken")
        check(close(sum(a[2] for a in t["atoms"]), 0.0), "total charge")
        # Bond CA-CB through the #define'd constant; second copy offset by 6.
        check(t["bonds"][1] == (2, 3, 1000.0, 1.5), f"CA-CB bond {t['bonds'][1]}")
        check(t["bonds"][6][:2] == (7, 8), "second copy offset")
        ub = [b for b in t["bonds"] if b[:2] == (2, 4)]
        check(len(ub) == 1 and close(ub[0][2], 100.0) and close(ub[0][3], 2.5),
              f"Urey-Bradley bond {ub}")
        check(not [b for b in t["bonds"] if b[:2] == (2, 5)], "zero Urey-Bradley left out")
        a0 = t["angles"][0]
        check(a0[:3] == (2, 3, 4) and close(a0[3], 100.0) and close(a0[4], math.pi / 2),
              f"angle {a0}")
        check(close(t["angles"][2][3], 50.0) and close(t["angles"][2][4], math.radians(109.5)),
              "harmonic angle (function 1)")
        dh = [x for x in t["dihedrals"] if x[:4] == (1, 2, 3, 4)]
        check([(round(x[4], 6), x[5], round(x[6], 6)) for x in dh] ==
              [(1.0, 2, round(math.pi, 6)), (2.0, 3, 0.0)], f"multiple-term dihedral {dh}")
        dx = [x for x in t["dihedrals"] if x[:4] == (1, 2, 3, 6)]
        check(len(dx) == 1 and close(dx[0][4], 1.0) and dx[0][5] == 1, "explicit dihedral")
        im = t["impropers"][0]
        check(im[:4] == (5, 2, 4, 3) and close(im[4], 10.0) and
              close(im[5], math.radians(10.0)), f"improper {im}")
        with open(os.path.join(d, "tiny_k.pdb")) as f:
            pdb = f.read().split("\n")
        check(pdb[1][:30] == "ATOM      1  H1  TNY     1    " and
              pdb[1][30:54] == "   0.000   0.000  -1.000", f"PDB record {pdb[1]!r}")
        check(pdb[-2] == "END", "PDB ends with END")

        # kova's 1-4 pairs are the dihedral ends less bonded and angle ends: the
        # GROMACS pair 1-5 (no dihedral) is named in a note.
        _e, p14 = energies(t)
        check(p14 == {(1, 4), (1, 6), (7, 10), (7, 12)}, f"1-4 pairs {sorted(p14)}")
        check("2 GROMACS 1-4 pairs are not the ends of a dihedral" in err,
              "pair without a dihedral noted")

        # Refusals: each a one-line message and exit status 1, outputs untouched.
        with open(os.path.join(d, "tiny_k.top")) as f:
            before = f.read()
        expect_error(tool, ["tiny.top", "tiny.gro", "-o", "tiny_k.top", "-p", "new.pdb"], d,
                     r"tiny_k\.top exists; give --force", "existing output")
        with open(os.path.join(d, "tiny_k.top")) as f:
            check(f.read() == before, "existing output not overwritten")
        check(not os.path.exists(os.path.join(d, "new.pdb")), "nothing written on failure")
        expect_error(tool, ["absent.top", "tiny.gro", "-o", "a.top", "-p", "a.pdb"], d,
                     r"cannot read absent\.top", "missing topology")
        expect_error(tool, ["tiny.top", "absent.gro", "-o", "a.top", "-p", "a.pdb"], d,
                     r"cannot read absent\.gro", "missing coordinates")

        def variant(name, old, new, pattern, what, gro="tiny.gro"):
            with open(os.path.join(d, name), "w") as f:
                f.write(TINY_TOP.replace(old, new, 1) if old else new)
            expect_error(tool, [name, gro, "-o", "a.top", "-p", "a.pdb"], d, pattern, what)

        variant("t1.top", " 4 HX 1 TNY H2", " 4 HZ 1 TNY H2",
                r"t1\.top:10: unknown atom type 'HZ'", "unknown atom type")
        variant("t2.top", None, TINY_TOP[:TINY_TOP.index("3 4 1")] + "3\n",
                r"t2\.top:16: \[ bonds \] line needs at least 3 fields", "truncated section")
        variant("t3.top", None, TINY_TOP[:TINY_TOP.index("[ system ]")],
                r"no \[ molecules \] section", "topology cut short")
        variant("t4.top", "2 3 5 5", "2 3 5 1", r"no angle parameters for types CA-CB-OX",
                "missing angle type")
        variant("t5.top", "5 2 4 3 2", "5 2 4 3 3",
                r"dihedral function 3 has no counterpart", "Ryckaert-Bellemans refused")
        variant("t6.top", '#include "tiny_bonded.itp"', '#include "absent.itp"',
                r"included file absent\.itp not found", "missing include")
        variant("t7.top", "Tiny 2\n", "Tiny 1\n", r"tiny\.gro has 12 atoms, the topology 6",
                "atom count mismatch")
        variant("t8.top", "1 2 1\n", "1 2 1 0.1 abc\n", r"parameter 'abc' is not a number",
                "unreadable number")
        variant("t9.top", "1 2 1\n", "1 9 1\n", r"atom 9 is not an atom of molecule type Tiny",
                "atom number out of range")
        with open(os.path.join(d, "swap.gro"), "w") as f:
            f.write(tiny_gro().replace("   H1", "   HQ", 1))
        variant("t10.top", None, TINY_TOP,
                r"atom 1 is H1 of TNY in the topology but HQ of TNY", "atom names differ",
                gro="swap.gro")
        # -D defines a preprocessor name; --force replaces the outputs.
        rc, out, err = run(env_cmd + ["-D", "HEAVY", "--force"], d)
        t = read_kova(os.path.join(d, "tiny_k.top"), os.path.join(d, "tiny_k.pdb"))
        check(rc == 0 and close(t["atoms"][4][1], 99.0), "-D HEAVY takes the #ifdef branch")
        rc, out, err = run([sys.executable, tool], d)
        check(rc == 2 and "usage:" in err and "Traceback" not in err, "no arguments: usage")
    finally:
        shutil.rmtree(d, ignore_errors=True)


# -- a real protein through pdb2gmx ----------------------------------------

def gmx_energies(d, gro, top):
    mdp = os.path.join(d, "rerun.mdp")
    with open(mdp, "w") as f:
        f.write("integrator = md\nnsteps = 0\ncutoff-scheme = Verlet\npbc = xyz\n"
                "coulombtype = cut-off\nrcoulomb = 1.0\nrvdw = 1.0\nnstenergy = 1\n")
    rc, out, err = run(["gmx", "-quiet", "editconf", "-f", gro, "-o", "box.gro",
                        "-box", "8", "8", "8", "-noc"], d)
    assert rc == 0, err
    rc, out, err = run(["gmx", "-quiet", "grompp", "-f", mdp, "-c", "box.gro", "-p", top,
                        "-o", "rr.tpr", "-maxwarn", "5"], d)
    assert rc == 0, err
    rc, out, err = run(["gmx", "-quiet", "mdrun", "-s", "rr.tpr", "-rerun", "box.gro",
                        "-nt", "1", "-deffnm", "rr"], d)
    assert rc == 0, err
    names = ["Bond", "U-B", "Proper-Dih.", "Improper-Dih.", "LJ-14", "Coulomb-14"]
    rc, out, err = run(["gmx", "-quiet", "energy", "-f", "rr.edr", "-o", "rr.xvg", "-dp"], d,
                       stdin="\n".join(names) + "\n\n")
    assert rc == 0, err
    e = {}
    for line in out.split("\n"):
        m = re.match(r"^(Bond|U-B|Proper Dih\.|Improper Dih\.|LJ-14|Coulomb-14)\s+(\S+)", line)
        if m:
            e[m.group(1)] = float(m.group(2)) / 4.184
    rc, out, err = run(["gmx", "-quiet", "dump", "-s", "rr.tpr"], d)
    m = re.search(r"Proper Dih\.:\s*\n\s*nr:\s*(\d+)", out)
    e["ndih"] = int(m.group(1)) // 5 if m else -1
    return e


def gmx_vacuum_energies(d, gro, top):
    """GROMACS's energy terms (kcal/mol) of one structure in vacuum without a
    cut-off: a box of 20 nm, pair interactions to 9 nm (beyond any distance in
    the fragment), plain Coulomb and Lennard-Jones (no shift, no reaction
    field: epsilon-rf 1 makes its constants 0)."""
    mdp = os.path.join(d, "vac.mdp")
    with open(mdp, "w") as f:
        f.write("integrator = md\nnsteps = 0\ncutoff-scheme = Verlet\npbc = xyz\n"
                "verlet-buffer-tolerance = -1\nrlist = 9.0\n"
                "coulombtype = cut-off\ncoulomb-modifier = None\nepsilon-rf = 1\nrcoulomb = 9.0\n"
                "vdwtype = cut-off\nvdw-modifier = None\nrvdw = 9.0\nDispCorr = no\nnstenergy = 1\n")
    rc, out, err = run(["gmx", "-quiet", "editconf", "-f", gro, "-o", "vbox.gro",
                        "-box", "20", "20", "20", "-c"], d)
    assert rc == 0, err
    rc, out, err = run(["gmx", "-quiet", "grompp", "-f", mdp, "-c", "vbox.gro", "-p", top,
                        "-o", "vac.tpr", "-maxwarn", "5"], d)
    assert rc == 0, err
    rc, out, err = run(["gmx", "-quiet", "mdrun", "-s", "vac.tpr", "-rerun", "vbox.gro",
                        "-nt", "1", "-deffnm", "vac"], d)
    assert rc == 0, err
    names = ["Bond", "U-B", "Proper-Dih.", "Improper-Dih.", "LJ-14", "Coulomb-14", "LJ-(SR)",
             "Coulomb-(SR)"]
    rc, out, err = run(["gmx", "-quiet", "energy", "-f", "vac.edr", "-o", "vac.xvg", "-dp"], d,
                       stdin="\n".join(names) + "\n\n")
    assert rc == 0, err
    e = {}
    for line in out.split("\n"):
        m = re.match(r"^(Bond|U-B|Proper Dih\.|Improper Dih\.|LJ-14|Coulomb-14|LJ \(SR\)|"
                     r"Coulomb \(SR\))\s+(\S+)", line)
        if m:
            e[m.group(1)] = float(m.group(2)) / 4.184
    return e


def kova_energy_tests(tool, data, kova, d):
    """kova's own energy command on a converted fragment of the headpiece
    (residues 1-10, in vacuum, every pair: the pair list holds at most 20000
    pairs, so the whole protein does not fit) against GROMACS on the same
    coordinates, term by term. Differences of functional form accounted for:
    kova halves the 1-4 charge products (CHARMM27's fudgeQQ is 1), takes
    Coulomb's constant as 332.054 kcal/mol A/e^2 (GROMACS 332.0637), writes
    Urey-Bradley terms as bonds (GROMACS adds them to its angle term U-B;
    the bond sum is compared with the Urey-Bradley part evaluated here, and
    bonds plus angles as a whole), and has no CMAP (left out on both sides)."""
    with open(os.path.join(data, "1lcd_chain_a.pdb")) as f:
        frag = [ln for ln in f if ln.startswith("ATOM") and int(ln[22:26]) <= 10]
    with open(os.path.join(d, "frag.pdb"), "w") as f:
        f.write("".join(frag) + "END\n")
    rc, out, err = run(["gmx", "-quiet", "pdb2gmx", "-f", "frag.pdb", "-ff", "charmm27", "-water",
                        "none", "-ignh", "-o", "frag.gro", "-p", "frag.top"], d)
    check(rc == 0, f"pdb2gmx on the fragment ({err[-300:]})")
    rc, out, err = run([sys.executable, tool, "frag.top", "frag.gro", "-o", "frag_k.top", "-p",
                        "frag_k.pdb"], d)
    check(rc == 0, f"fragment conversion (rc {rc}: {err.strip()})")
    if rc != 0:
        return
    g = gmx_vacuum_energies(d, "frag.gro", "frag.top")
    t = read_kova(os.path.join(d, "frag_k.top"), os.path.join(d, "frag_k.pdb"))
    e, _ = energies(t)
    with open(os.path.join(d, "en.inp"), "w") as f:
        f.write("read mol 1 file frag_k.pdb end\n"
                "rdtop file frag_k.top mol 1 end\n"
                "nblist nogr end\n"
                "energy ndbf nqe end\n"
                "stop\n")
    rc, out, err = run([kova, "en.inp"], d)
    check(rc == 0 and "SERIOUS" not in out + err, f"kova energy of the fragment (rc {rc})")
    k = {}
    for label in ("Bond", "Angle", "Dihedral", "Improper Dihedral", "VDW", "Coulombic"):
        m = re.search(r"\n " + label + r" Energy =\s+(\S+)", out)
        k[label] = float(m.group(1)) if m else float("nan")
    c = 332.054 / 332.0637
    rows = (("bonds (less Urey-Bradley)", k["Bond"] - e["ub"], g["Bond"]),
            ("angles + Urey-Bradley", k["Angle"] + e["ub"], g["U-B"]),
            ("bonds + angles", k["Bond"] + k["Angle"], g["Bond"] + g["U-B"]),
            ("proper dihedrals", k["Dihedral"], g["Proper Dih."]),
            ("improper dihedrals", k["Improper Dihedral"], g["Improper Dih."]),
            ("Lennard-Jones (1-4 and others)", k["VDW"], g["LJ-14"] + g["LJ (SR)"]),
            ("Coulomb (1-4 halved)", k["Coulombic"],
             c * (g["Coulomb (SR)"] + 0.5 * g["Coulomb-14"])))
    print(f"{'term':32s}{'kova':>14s}{'GROMACS':>14s}{'difference':>12s}  (kcal/mol, "
          f"{len(t['atoms'])} atoms)")
    for label, ours, theirs in rows:
        print(f"{label:32s}{ours:14.4f}{theirs:14.4f}{ours - theirs:12.4f}")
        # kova lists 4 decimals and sums in single precision; GROMACS too.
        check(abs(ours - theirs) <= 2e-4 * abs(theirs) + 0.01,
              f"kova energy, {label}: {ours:.4f} kcal/mol against GROMACS {theirs:.4f}")


def top_sections(path):
    """Lines of each section of a pdb2gmx topology, and its last qtot."""
    sec, cur, qtot = {}, None, None
    with open(path) as f:
        for line in f:
            m = re.search(r"qtot\s+(\S+)", line)
            if m:
                qtot = float(m.group(1))
            s = line.split(";")[0].strip()
            if s.startswith("["):
                cur = s.strip("[] ")
                sec.setdefault(cur, [])
            elif s and cur and not s.startswith("#"):
                sec[cur].append(s.split())
    return sec, qtot


def gromacs_tests(tool, data, kova):
    if shutil.which("gmx") is None:
        print("gmx not installed: skipped")
        return SKIP
    d = tempfile.mkdtemp(prefix="gmx2kova_gmx.")
    try:
        shutil.copy(os.path.join(data, "1lcd_chain_a.pdb"), d)
        rc, out, err = run(["gmx", "-quiet", "pdb2gmx", "-f", "1lcd_chain_a.pdb", "-ff",
                            "charmm27", "-water", "none", "-ignh", "-o", "conf.gro",
                            "-p", "topol.top"], d)
        check(rc == 0, f"pdb2gmx runs ({err[-300:]})")
        rc, out, err = run([sys.executable, tool, "topol.top", "conf.gro", "-o",
                            "protein.top", "-p", "protein.pdb"], d)
        check(rc == 0, f"conversion (rc {rc}: {err.strip()})")
        if rc != 0:
            return 1
        t = read_kova(os.path.join(d, "protein.top"), os.path.join(d, "protein.pdb"))
        sec, qtot = top_sections(os.path.join(d, "topol.top"))
        with open(os.path.join(d, "conf.gro")) as f:
            n_gro = int(f.read().split("\n")[1])
        ncmap = len(sec.get("cmap", []))
        check(f"{ncmap} CMAP correction terms left out" in err and ncmap > 40,
              f"CMAP note with the count {ncmap}")
        check(len(t["atoms"]) == n_gro == len(sec["atoms"]) == len(t["pdb"]) == 800,
              f"atom count {len(t['atoms'])} = pdb2gmx's {n_gro}")
        q = sum(a[2] for a in t["atoms"])
        check(qtot is not None and abs(q - round(q)) < 1e-6 and round(q) == round(qtot) == 1,
              f"total charge {q} integer and equal to qtot {qtot}")
        ang_ends = {tuple(sorted((a[0], a[2]))) for a in t["angles"]}
        n_ub = sum(tuple(sorted(b[:2])) in ang_ends for b in t["bonds"])
        check(len(t["bonds"]) - n_ub == len(sec["bonds"]) and n_ub > 0,
              f"bonds {len(t['bonds'])} = [ bonds ] {len(sec['bonds'])} + UB {n_ub}")
        check(len(t["angles"]) == len(sec["angles"]), "angle count")
        propers = [x for x in sec["dihedrals"] if x[4] == "9"]
        quads = {x[:4] for x in t["dihedrals"]}
        check(len(quads) == len(propers), f"dihedrals: {len(quads)} = {len(propers)} lines")
        check(len(t["impropers"]) == len([x for x in sec["dihedrals"] if x[4] == "2"]),
              "improper count")
        check([a[:3] for a in (t["pdb"][0], t["pdb"][1], t["pdb"][4])] ==
              [("N", "MET", 1), ("H1", "MET", 1), ("CA", "MET", 1)], "atom order")

        # Hand-checked constants, from CHARMM's own parameter file (kcal/mol, A,
        # degrees, E = K (x - x0)^2): kova writes 2K, x0, radians.
        # NH3-HC bond: K 403.0, 1.040 A.
        b = [x for x in t["bonds"] if x[:2] == (1, 2)]
        check(len(b) == 1 and close(b[0][2], 806.0, 1e-6) and close(b[0][3], 1.04),
              f"NH3-HC bond {b}")
        # HC-NH3-CT1 angle: K 30.0, 109.50 degrees; Urey-Bradley 20.0, 2.074 A.
        a = [x for x in t["angles"] if x[:3] == (2, 1, 5)]
        check(len(a) == 1 and close(a[0][3], 60.0) and close(a[0][4], 1.91113553, 1e-8),
              f"HC-NH3-CT1 angle {a}")
        ub = [x for x in t["bonds"] if x[:2] == (2, 5)]
        check(len(ub) == 1 and close(ub[0][2], 40.0) and close(ub[0][3], 2.074),
              f"Urey-Bradley bond {ub}")
        # X-CT1-NH3-X dihedral: 0.1 kcal/mol, n 3, phase 0.
        dh = [x for x in t["dihedrals"] if x[:4] == (2, 1, 5, 6)]
        check([x[4:] for x in dh] == [(0.1, 3, 0.0)], f"X-CT1-NH3-X dihedral {dh}")
        # The peptide bond CT1-C-NH1-CT1 of residues 1-2: two terms, 1.6 n 1 phase
        # 0 and 2.5 n 2 phase 180.
        idx = {(a[0], a[2]): n for n, a in enumerate(t["pdb"], 1)}
        quad = (idx[("CA", 1)], idx[("C", 1)], idx[("N", 2)], idx[("CA", 2)])
        dh = [x[4:] for x in t["dihedrals"] if x[:4] == quad]
        check(len(dh) == 2 and close(dh[0][0], 1.6) and dh[0][1] == 1 and dh[0][2] == 0 and
              close(dh[1][0], 2.5) and dh[1][1] == 2 and close(dh[1][2], math.pi, 1e-8),
              f"CT1-C-NH1-CT1 dihedral {dh}")
        # The carbonyl improper O-X-X-C of residue 1: 120.0, 0 degrees.
        im = [x for x in t["impropers"] if idx[("C", 1)] in (x[0], x[3]) and
              idx[("O", 1)] in (x[0], x[3])]
        check(len(im) == 1 and close(im[0][4], 240.0) and im[0][5] == 0.0,
              f"O-X-X-C improper {im}")
        # CT1 (atom 5): eps -0.020, Rmin/2 2.275; 1-4 -0.010, 1.900.
        check(t["atoms"][4][0] == "CT1" and all(close(u, v, 1e-6) for u, v in zip(
            t["atoms"][4][3:], (-0.02, 2.275, -0.01, 1.9))), f"CT1 LJ {t['atoms'][4]}")

        # Energies of the whole protein against GROMACS's own evaluation.
        g = gmx_energies(d, "conf.gro", "topol.top")
        e, p14 = energies(t)
        for ours, theirs, label in ((e["bond"], g["Bond"], "bonds"),
                                    (e["ub"] + e["angle"], g["U-B"], "angles + Urey-Bradley"),
                                    (e["dih"], g["Proper Dih."], "dihedrals"),
                                    (e["imp"], g["Improper Dih."], "impropers"),
                                    (e["lj14"], g["LJ-14"], "LJ 1-4"),
                                    (e["qq14"] * 332.0637, g["Coulomb-14"], "Coulomb 1-4")):
            check(abs(ours - theirs) <= 2e-4 * abs(theirs) + 0.01,
                  f"{label}: {ours:.4f} kcal/mol against GROMACS {theirs:.4f}")
        nonzero = sum(x[4] != 0 for x in t["dihedrals"])
        check(nonzero == g["ndih"], f"non-zero dihedral terms {nonzero} = grompp's {g['ndih']}")
        pairs = {tuple(sorted((int(x[0]), int(x[1])))) for x in sec["pairs"]}
        check(p14 == pairs, f"1-4 pairs from dihedral ends = [ pairs ] "
                            f"({len(p14 - pairs)} extra, {len(pairs - p14)} missing)")

        # Phases other than 0 and 180 degrees tell the sign convention of the
        # dihedral angle: an explicit term of phase 70 degrees on MET's
        # N-CA-CB-CG (phi -68.4: 1.28 kcal/mol, 16.7 with the sign turned) and an
        # improper of 30 degrees (psi 31.2: 0.005, 13.6 turned), as GROMACS
        # computes them. The differences of GROMACS's single-precision sums
        # carry about 1e-3 kcal/mol of rounding.
        with open(os.path.join(d, "topol.top")) as f:
            text = f.read()
        heads = [m.end() for m in re.finditer(r"\[ dihedrals \]\n", text)]
        check(len(heads) == 2, "two [ dihedrals ] sections")
        phased = (text[:heads[0]] + "    1     5     7    10     9   70.0  50.0   2\n" +
                  text[heads[0]:heads[1]] + "    5     1     7     6     2   30.0  100.0\n" +
                  text[heads[1]:])
        with open(os.path.join(d, "phase.top"), "w") as f:
            f.write(phased)
        rc, out, err = run([sys.executable, tool, "phase.top", "conf.gro", "-o", "phase_k.top",
                            "-p", "phase_k.pdb"], d)
        tp = read_kova(os.path.join(d, "phase_k.top"), os.path.join(d, "phase_k.pdb"))
        check(rc == 0 and tp["dihedrals"][0] == (1, 5, 7, 10, round(50.0 / 4.184, 6), 2,
                                                 round(math.radians(70.0), 8)),
              f"explicit dihedral {tp['dihedrals'][0]}")
        gp = gmx_energies(d, "conf.gro", "phase.top")
        ep, _ = energies(tp)
        check(abs(ep["dih"] - e["dih"] - (gp["Proper Dih."] - g["Proper Dih."])) < 5e-3 and
              abs(ep["imp"] - e["imp"] - (gp["Improper Dih."] - g["Improper Dih."])) < 1e-3,
              "phase 70 dihedral and 30 degree improper: "
              f"{ep['dih'] - e['dih']:.5f}, {ep['imp'] - e['imp']:.5f} kcal/mol against GROMACS "
              f"{gp['Proper Dih.'] - g['Proper Dih.']:.5f}, "
              f"{gp['Improper Dih.'] - g['Improper Dih.']:.5f}")

        # A broken real topology: an unknown type, and the file cut in a section.
        with open(os.path.join(d, "bad1.top"), "w") as f:
            f.write(re.sub(r"(\n\s+7\s+)CT2(\s)", r"\1QQQ\2", text, count=1))
        expect_error(tool, ["bad1.top", "conf.gro", "-o", "x.top", "-p", "x.pdb"], d,
                     r"bad1\.top:\d+: unknown atom type 'QQQ'", "unknown type in protein")
        cut = text.index("[ dihedrals ]") + 200
        with open(os.path.join(d, "bad2.top"), "w") as f:
            f.write(text[:cut].rsplit("\n", 1)[0] + "\n    12    13\n")
        expect_error(tool, ["bad2.top", "conf.gro", "-o", "x.top", "-p", "x.pdb"], d,
                     r"\[ dihedrals \] line needs at least 5 fields", "protein cut in a section")

        if kova:
            # kova reads the two files; its non-bonded list, built with a cut-off
            # that holds every 1-2, 1-3 and 1-4 pair, excludes each bonded and
            # angle-end pair once (the Urey-Bradley bonds add none) and finds
            # GROMACS's 1-4 pairs.
            with open(os.path.join(d, "rd.inp"), "w") as f:
                f.write("read mol 1 file protein.pdb end\n"
                        "rdtop file protein.top mol 1 end\n"
                        "nblist nogr cut atombase 5.0 end\n"
                        "stop\n")
            rc, out, err = run([kova, "rd.inp"], d)
            check(rc == 0, f"kova reads the converted files (rc {rc})")
            check("SERIOUS" not in out + err and "FATAL" not in out + err,
                  "no SERIOUS or FATAL messages from kova")
            check(re.search(r"Atoms read\s*:\s*800\n", out) is not None, "kova reads 800 atoms")
            m = re.search(r"FOUND\s+\d+ pairs;\s+(\d+) exclusions;\s*(\d+) 1-4 pairs;", out)
            check(m is not None and int(m.group(1)) == len(sec["bonds"]) + len(sec["angles"])
                  and int(m.group(2)) == len(sec["pairs"]),
                  f"kova's exclusions and 1-4 pairs ({m and m.groups()}) = [ bonds ] + "
                  f"[ angles ] ({len(sec['bonds']) + len(sec['angles'])}) and [ pairs ] "
                  f"({len(sec['pairs'])})")
            kova_energy_tests(tool, data, kova, d)
    finally:
        shutil.rmtree(d, ignore_errors=True)
    return 0


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("unit", "gromacs"):
        print(__doc__)
        return 2
    tool = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "unit":
        unit_tests(tool)
        rc = 0
    else:
        kova = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
        rc = gromacs_tests(tool, sys.argv[3], kova)
        if rc == SKIP:
            return SKIP
    print(f"{len(failures)} failure(s)")
    return 1 if failures else rc


if __name__ == "__main__":
    sys.exit(main())
