#!/usr/bin/env python3
"""Builds kova's atomic parameter table, data/qtable.dat, and checks it.

The table is what the `set` command reads to give every atom its charge,
radius, mass and Lennard-Jones sigma/epsilon, looked up by (residue name,
atom name) as they stand in PDB files.  Three parameter sets are written:

  opls    united-atom (heavy-atom) set for crystal structures without
          hydrogens; the default set of `set`.
  amber   all-atom set, AMBER ff99 charges.
  charmm  all-atom set, CHARMM22 charges.

Every number is read from force-field data files shipped by Debian packages
(nothing is typed in by hand except the terminal conventions described
below and the choice of united-atom carbon types):

  python3-pdb2pqr (pulled in by `pdb2pqr`), directory
      /usr/lib/python3/dist-packages/pdb2pqr/dat/
        AMBER.DAT   AMBER ff99 charges, radii (Rmin/2), AMBER atom types
        CHARMM.DAT  CHARMM22 charges, radii (Rmin/2), CHARMM atom types
        PARSE.DAT   PARSE heavy-atom radii
  gromacs-data, directory /usr/share/gromacs/top/
        oplsaa.ff/aminoacids.rtp       OPLS-AA charges, types and bonds
        oplsaa.ff/aminoacids.c.tdb     OPLS-AA carboxylate oxygen type
        oplsaa.ff/ffnonbonded.itp      OPLS masses, sigma (nm), eps (kJ/mol)
        oplsaa.ff/ions.itp             OPLS ion types and charges
        amber99sb-ildn.ff/ffnonbonded.itp  AMBER masses, sigma, epsilon
        amber99sb-ildn.ff/ions.itp     AMBER ion types and charges
        charmm27.ff/ffnonbonded.itp    CHARMM masses, sigma, epsilon
        charmm27.ff/aminoacids.rtp     CHARMM bonds (to rename hydrogens)
        atommass.dat                   selenium mass

Conversions: sigma (A) = 10 * sigma (nm); epsilon (kcal/mol) = epsilon
(kJ/mol) / 4.184.  Where a radius is derived from Lennard-Jones parameters
(ions) it is Rmin/2 = 2**(1/6) * sigma / 2, the same quantity that AMBER.DAT
and CHARMM.DAT list as radii.

Conventions (also written into the table's comment lines):

* Histidine: `his` is the neutral ND1-protonated tautomer (AMBER HID, CHARMM
  HSD, OPLS HISD); `hid`, `hie`, `hip` are the three forms; CHARMM's `hsd`,
  `hse`, `hsp` are equivalences to them.  A HIS that carries both HD1 and HE2
  gets HIP's HE2 by equivalence; rename such residues HIP to make them +1.
* `cyx` is the disulfide-bonded cysteine; `mse` (selenomethionine) is Met
  with `se` in place of `sd`: Met's charge, radius and LJ, selenium's mass.
* United-atom termini (opls): the N-terminal nitrogen cannot be told from a
  backbone nitrogen by name, so it keeps the backbone N+H charge; `oxt` is
  given zero charge.  The two ends then add nothing to the net charge, which
  is what a charged NH3+/COO- pair adds together: the net charge of a chain
  is the sum of its residue charges (+1 Arg/Lys/Hip, -1 Asp/Glu).
* All-atom termini (amber, charmm): N, CA, ... keep their backbone values.
  The N-terminal H1 is an equivalence of H (PDB files name the ammonium
  hydrogens H1/H2/H3 or H/H2/H3); H2 and H3 carry +0.5 each (Pro: its two
  hydrogens, whatever their names); `oxt` carries -1.  The N-terminal residue
  is then exactly +1 and the C-terminal one -1 above its side-chain charge.

Run:  python3 tools/qtable/gen_qtable.py            (generate, then check)
      python3 tools/qtable/gen_qtable.py --check    (check the committed table)
"""

import argparse
import math
import os
import re
import sys
from collections import OrderedDict
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
TABLE = ROOT / "data" / "qtable.dat"

PQR_DAT = Path(os.environ.get("PDB2PQR_DAT", "/usr/lib/python3/dist-packages/pdb2pqr/dat"))
GMX_TOP = Path(os.environ.get("GMX_TOP", "/usr/share/gromacs/top"))

KJ_PER_KCAL = 4.184
NM_TO_A = 10.0
RMIN_HALF_PER_SIGMA = 2.0 ** (1.0 / 6.0) / 2.0

# The table reader's limits and its line length.
MAX_ENTRIES = 1000
MAX_EQUIV = 1000
LINE_LEN = 80

# ---------------------------------------------------------------------------
# Residue catalogue.  Output order: the 20 amino acids, histidine forms,
# disulfide cysteine, selenomethionine, water, ions.

AMINO = ["ala", "arg", "asn", "asp", "cys", "gln", "glu", "gly", "his", "ile",
         "leu", "lys", "met", "phe", "pro", "ser", "thr", "trp", "tyr", "val"]
VARIANTS = ["hid", "hie", "hip", "cyx", "mse"]
RESIDUES = AMINO + VARIANTS

# Integer net charge of each residue at neutral pH (side chain only).
NET = {"arg": 1, "lys": 1, "hip": 1, "asp": -1, "glu": -1}

# Residue of each force-field file that supplies a table residue.
SOURCE = {
    "amber": {"his": "HID", "hid": "HID", "hie": "HIE", "hip": "HIP", "cyx": "CYX", "mse": "MET"},
    "charmm": {"his": "HSD", "hid": "HSD", "hie": "HSE", "hip": "HSP", "cyx": "CYS", "mse": "MET"},
    "opls": {"his": "HISD", "hid": "HISD", "hie": "HISE", "hip": "HISH", "cys": "CYSH",
             "cyx": "CYS2", "lys": "LYSH", "mse": "MET"},
}

# PARSE.DAT residue that gives a table residue's radii.
PARSE_SOURCE = {"his": "HID", "hid": "HID", "hie": "HIS", "hip": "HI+", "cyx": "CSS", "mse": "MET"}

# Ions: PDB residue/atom name, charge, and the GROMACS ions.itp molecule
# (amber99sb-ildn and oplsaa use the same molecule names) and CHARMM.DAT
# residue that describe it.
IONS = [  # (pdb name, gromacs molecule, CHARMM.DAT residue)
    ("na", "NA", "SOD"),
    ("k", "K", "POT"),
    ("cl", "CL", "CLA"),
    ("ca", "CA", "CAL"),
    ("mg", "MG", "MG"),
    ("zn", "ZN", "ZN2"),
]

# Other names of water and ions found in structure files; each maps to the
# table's own names.
WATER_ALIASES = ["wat", "tip3", "sol", "h2o"]
WATER_ATOM_ALIASES = {"o": "o", "ow": "o", "oh2": "o", "h1": "h1", "h2": "h2", "hw1": "h1", "hw2": "h2"}
ION_ALIASES = [("sod", "sod", "na", "na"), ("pot", "pot", "k", "k"), ("cla", "cla", "cl", "cl"),
               ("cal", "cal", "ca", "ca"), ("zn2", "zn", "zn", "zn"), ("zn2", "zn2", "zn", "zn")]
HIS_ALIASES = [("hsd", "hid"), ("hse", "hie"), ("hsp", "hip")]

# United-atom Lennard-Jones types for carbons that carry hydrogens, from the
# OPLS united-atom protein types (oplsaa.ff/ffnonbonded.itp, types 1-134):
# key (sp3, number of hydrogens, bonded to N, O or S).  Carbons next to a
# heteroatom have sigma 3.80 A in that parameter set, aliphatic ones 3.85 to
# 3.905 A; aromatic CH is the 3.75 A type.
UA_CARBON = {
    (True, 1, True): "opls_006",   # CH   next to N/O/S (C-alpha, Thr CB)
    (True, 1, False): "opls_008",  # CH   aliphatic (Val CB, Leu CG, Ile CB)
    (True, 2, True): "opls_005",   # CH2  next to N/O/S (Gly CA, Ser CB, Lys CE)
    (True, 2, False): "opls_009",  # CH2  aliphatic
    (True, 3, True): "opls_039",   # CH3  next to S (Met CE)
    (True, 3, False): "opls_010",  # CH3  aliphatic
    (False, 1, False): "opls_075",  # CH  aromatic
    (False, 1, True): "opls_075",
}

NAME_RE = re.compile(r"^[a-z][a-z0-9_.'*]{0,3}$")


class Fail(Exception):
    pass


def need(cond, what):
    if not cond:
        raise Fail(what)


# ---------------------------------------------------------------------------
# Readers of the force-field files.

def read_pqr_dat(path):
    """pdb2pqr parameter file: RES ATOM charge radius [type]; '#' comments.
    Returns {RES: OrderedDict{ATOM: (charge, radius, type or None)}}."""
    out = {}
    for line in path.read_text().splitlines():
        line = line.split("#", 1)[0].split()
        if len(line) < 4:
            continue
        res, atom, q, r = line[0], line[1], float(line[2]), float(line[3])
        out.setdefault(res, OrderedDict())[atom] = (q, r, line[4] if len(line) > 4 else None)
    return out


def itp_lines(path):
    """Lines of a GROMACS include file, ';' comments removed, #ifdef blocks
    resolved with no symbol defined (so HEAVY_H is off)."""
    keep = [True]
    for raw in path.read_text().splitlines():
        line = raw.split(";", 1)[0].strip()
        if line.startswith("#ifdef") or line.startswith("#ifndef"):
            on = line.startswith("#ifndef")
            keep.append(keep[-1] and on)
            continue
        if line.startswith("#else"):
            parent = keep[-2] if len(keep) > 1 else True
            keep[-1] = parent and not keep[-1]
            continue
        if line.startswith("#endif"):
            keep.pop()
            continue
        if line.startswith("#"):
            continue
        if keep[-1] and line:
            yield line


def read_atomtypes(path):
    """[ atomtypes ] of an ffnonbonded.itp: {type: dict(mass, sigma_nm,
    eps_kj, atnum, btype)}.  OPLS lines carry a bond type after the name."""
    out = {}
    section = None
    for line in itp_lines(path):
        if line.startswith("["):
            section = line.strip("[] ").lower()
            continue
        if section != "atomtypes":
            continue
        f = line.split()
        if len(f) >= 8 and f[5] in ("A", "D"):
            name, btype, atnum, mass, sig, eps = f[0], f[1], int(f[2]), float(f[3]), float(f[6]), float(f[7])
        elif len(f) >= 7 and f[4] in ("A", "D"):
            name, btype, atnum, mass, sig, eps = f[0], f[0], int(f[1]), float(f[2]), float(f[5]), float(f[6])
        else:
            raise Fail(f"{path}: unreadable atom type line: {line}")
        out[name] = dict(mass=mass, sigma_nm=sig, eps_kj=eps, atnum=atnum, btype=btype)
    return out


RTP_SUBSECTIONS = {"atoms", "bonds", "impropers", "dihedrals", "cmap", "exclusions", "angles", "bondedtypes"}


def read_rtp(path):
    """Residue topology: {RES: {'atoms': [(name, type, charge)], 'bonds':
    [(a, b)]}} with bonds to the neighbouring residues (+N, -C) left out."""
    out = {}
    res = sec = None
    for line in itp_lines(path):
        if line.startswith("["):
            name = line.strip("[] ")
            if name.lower() in RTP_SUBSECTIONS:
                sec = name.lower()
            else:
                res, sec = name, None
                out[res] = {"atoms": [], "bonds": []}
            continue
        if res is None or res not in out:
            continue
        f = line.split()
        if sec == "atoms":
            out[res]["atoms"].append((f[0], f[1], float(f[2])))
        elif sec == "bonds":
            if not any(a[0] in "+-" for a in f[:2]):
                out[res]["bonds"].append((f[0], f[1]))
    return out


def read_tdb_type(path, block, atom):
    """Atom type given to `atom` by the [ replace ] lines of a termini block."""
    inblock = insub = False
    for line in itp_lines(path):
        if line.startswith("["):
            name = line.strip("[] ")
            if name.lower() in ("replace", "add", "delete", "impropers"):
                insub = name.lower() == "replace"
            else:
                inblock, insub = name == block, False
            continue
        f = line.split()
        if inblock and insub and f[0] == atom:
            # old name, [new name,] type, mass, charge
            return f[2] if len(f) >= 5 else f[1]
    raise Fail(f"{path}: no type for {atom} in [ {block} ]")


def read_ions_itp(path):
    """{molecule: (atom type, charge)} of a GROMACS ions.itp."""
    out = {}
    mol = None
    sec = None
    for line in itp_lines(path):
        if line.startswith("["):
            sec = line.strip("[] ").lower()
            continue
        f = line.split()
        if sec == "moleculetype":
            mol = f[0]
        elif sec == "atoms" and mol and mol not in out:
            out[mol] = (f[1], float(f[6]))
    return out


def read_atommass(path):
    out = {}
    for line in path.read_text().splitlines():
        f = line.split(";", 1)[0].split()
        if len(f) == 3:
            out[f[1]] = float(f[2])
    return out


# ---------------------------------------------------------------------------
# Entries.

class Entry:
    __slots__ = ("res", "atom", "q", "r", "m", "s", "e", "hyd", "note")

    def __init__(self, res, atom, q, r, m, s, e, hyd):
        self.res, self.atom = res.lower(), atom.lower()
        self.q, self.r, self.m, self.s, self.e, self.hyd = q, r, m, s, e, hyd

    def line(self):
        # Epsilon to 4 decimals; the tiny ones of some ions (K+ 0.0003)
        # to 4 significant digits instead.
        e = f"{self.e:7.4f}" if self.e == 0 or self.e >= 0.01 else f"{self.e:.{3 - math.floor(math.log10(self.e)) }f}"
        return (f"{self.res:<4} {self.atom:<4} {self.q:8.4f} {self.r:7.4f} {self.m:8.3f}"
                f" {self.s:7.4f} {e}")


def lj(nb, t):
    need(t in nb, f"atom type {t} not in ffnonbonded.itp")
    a = nb[t]
    return a["mass"], a["sigma_nm"] * NM_TO_A, a["eps_kj"] / KJ_PER_KCAL


def rmin_half(nb, t):
    return nb[t]["sigma_nm"] * NM_TO_A * RMIN_HALF_PER_SIGMA


def is_h(name):
    return name[0] == "H" or (name[0].isdigit() and name[1:2] == "H")


def check_net(setname, res, atoms, get_q):
    q = sum(get_q(a) for a in atoms)
    need(abs(q - NET.get(res, 0)) < 5e-4, f"{setname} {res}: net charge {q:.4f}, wanted {NET.get(res, 0)}")


# ----- all-atom sets --------------------------------------------------------

def charmm_renames(rtp, res):
    """CHARMM -> PDB names for residue `res` of the CHARMM topology: HN -> H;
    methylene hydrogens 1,2 -> 2,3 (found from the bonds: two hydrogens on
    one carbon); Ser/Cys HG1 -> HG; Ile CD -> CD1 with HD1..3 -> HD11..13."""
    ren = {"HN": "H"}
    top = rtp[res]
    names = [a[0] for a in top["atoms"]]
    hs_on = {}
    for a, b in top["bonds"]:
        for x, y in ((a, b), (b, a)):
            if is_h(x) and not is_h(y):
                hs_on.setdefault(y, []).append(x)
    for heavy, hs in hs_on.items():
        if heavy.startswith("C") and len(hs) == 2:
            hs = sorted(hs)
            if hs[0].endswith("1") and hs[1].endswith("2") and hs[0][:-1] == hs[1][:-1]:
                ren[hs[1]] = hs[1][:-1] + "3"
                ren[hs[0]] = hs[0][:-1] + "2"
    if res in ("SER", "CYS"):
        ren["HG1"] = "HG"
    if res == "ILE":
        ren.update({"CD": "CD1", "HD1": "HD11", "HD2": "HD12", "HD3": "HD13"})
    return {k: v for k, v in ren.items() if k in names}


def build_allatom(kind, src, nb, rename=None, termini=None, water=None, ions=None, se_mass=None,
                  disulfide=None):
    """One all-atom set: a list of entries plus, per residue, the renames that
    were applied (source name -> PDB name)."""
    entries = []
    renamed = {}
    for res in RESIDUES:
        sres = SOURCE[kind].get(res, res.upper())
        need(sres in src, f"{kind}: residue {sres} missing")
        atoms = OrderedDict(src[sres])
        ren = rename(sres) if rename else {}
        if res == "cyx" and disulfide:
            atoms = disulfide(atoms)
        got = OrderedDict()
        for name, (q, r, t) in atoms.items():
            pdb = ren.get(name, name)
            if res == "mse" and pdb == "SD":
                pdb = "SE"
            got[pdb] = (q, r, t)
        renamed[res] = {k.lower(): v.lower() for k, v in ren.items() if k in atoms}
        check_net(kind, res, got, lambda a: got[a][0])
        for name, (q, r, t) in got.items():
            m, s, e = lj(nb, t)
            if res == "mse" and name == "SE":
                m = se_mass
            entries.append(Entry(res, name, q, r, m, s, e, is_h(name)))
        # Terminal atoms: see the module comment.
        (hq, hr, ht), (oq, orad, ot) = termini(res)
        for name in ("H2", "H3"):
            m, s, e = lj(nb, ht)
            entries.append(Entry(res, name, 0.5, hr, m, s, e, True))
        m, s, e = lj(nb, ot)
        entries.append(Entry(res, "OXT", -1.0, orad, m, s, e, False))
    entries += water
    entries += ions
    return entries, renamed


def amber_set():
    dat = read_pqr_dat(PQR_DAT / "AMBER.DAT")
    nb = read_atomtypes(GMX_TOP / "amber99sb-ildn.ff" / "ffnonbonded.itp")
    ions_itp = read_ions_itp(GMX_TOP / "amber99sb-ildn.ff" / "ions.itp")
    se_mass = read_atommass(GMX_TOP / "atommass.dat")["Se"]

    def termini(res):
        s = SOURCE["amber"].get(res, res.upper())
        n = dat.get("N" + s, dat["NALA"])
        c = dat.get("C" + s, dat["CALA"])
        h = n["H2"]
        return h, c["OXT"]

    w = dat["WAT"]
    water = []
    for name, key in (("O", "OW"), ("H1", "HW"), ("H2", "HW")):
        q, r, t = w[key]
        m, s, e = lj(nb, t)
        water.append(Entry("hoh", name, q, r, m, s, e, name != "O"))
    ions = []
    for pdb, mol, _ in IONS:
        t, q = ions_itp[mol]
        m, s, e = lj(nb, t)
        ions.append(Entry(pdb, pdb, q, rmin_half(nb, t), m, s, e, False))
    entries, renamed = build_allatom("amber", dat, nb, termini=termini, water=water, ions=ions,
                                     se_mass=se_mass)
    return entries, renamed


def charmm_set():
    dat = read_pqr_dat(PQR_DAT / "CHARMM.DAT")
    nb = read_atomtypes(GMX_TOP / "charmm27.ff" / "ffnonbonded.itp")
    rtp = read_rtp(GMX_TOP / "charmm27.ff" / "aminoacids.rtp")
    se_mass = read_atommass(GMX_TOP / "atommass.dat")["Se"]

    def rename(sres):
        need(sres in rtp, f"charmm27 aminoacids.rtp lacks {sres}")
        need(set(a[0] for a in rtp[sres]["atoms"]) == set(dat[sres]),
             f"charmm: CHARMM.DAT and aminoacids.rtp differ on {sres}")
        return charmm_renames(rtp, sres)

    def disulfide(atoms):
        # The DISU patch of CHARMM.DAT: CB and SG change, HG1 goes.
        p = dat["DISU"]
        atoms = OrderedDict((k, v) for k, v in atoms.items() if k != "HG1")
        atoms["CB"] = p["1CB"]
        atoms["SG"] = p["1SG"]
        return atoms

    def termini(res):
        n = dat["PROP"]["HN1"] if res == "pro" else dat["NTER"]["HT1"]
        return n, dat["CTER"]["OT2"]

    w = dat["TIP3"]
    water = []
    for name, key in (("O", "OH2"), ("H1", "H1"), ("H2", "H2")):
        q, r, t = w[key]
        m, s, e = lj(nb, t)
        water.append(Entry("hoh", name, q, r, m, s, e, name != "O"))
    ions = []
    for pdb, _, cres in IONS:
        (q, r, t), = dat[cres].values()
        m, s, e = lj(nb, t)
        ions.append(Entry(pdb, pdb, q, r, m, s, e, False))
    return build_allatom("charmm", dat, nb, rename=rename, termini=termini, water=water, ions=ions,
                         se_mass=se_mass, disulfide=disulfide)


# ----- united-atom set ------------------------------------------------------

def opls_set():
    top = GMX_TOP / "oplsaa.ff"
    rtp = read_rtp(top / "aminoacids.rtp")
    nb = read_atomtypes(top / "ffnonbonded.itp")
    parse = read_pqr_dat(PQR_DAT / "PARSE.DAT")
    ions_itp = read_ions_itp(top / "ions.itp")
    se_mass = read_atommass(GMX_TOP / "atommass.dat")["Se"]
    amber_nb = read_atomtypes(GMX_TOP / "amber99sb-ildn.ff" / "ffnonbonded.itp")
    amber_ions = read_ions_itp(GMX_TOP / "amber99sb-ildn.ff" / "ions.itp")

    def hydrogen(t):
        return nb[t]["atnum"] == 1

    def united(res_top, skip=()):
        """Heavy atoms with their hydrogens folded in: OrderedDict name ->
        [charge, type, [hydrogen types]]."""
        heavy = OrderedDict()
        for name, t, q in res_top["atoms"]:
            if not hydrogen(t) and name not in skip:
                heavy[name] = [q, t, []]
        types = {name: (t, q) for name, t, q in res_top["atoms"]}
        for name, t, q in res_top["atoms"]:
            if not hydrogen(t):
                continue
            partners = [b if a == name else a for a, b in res_top["bonds"] if name in (a, b)]
            need(len(partners) == 1 and partners[0] in heavy, f"opls: hydrogen {name} has bonds {partners}")
            heavy[partners[0]][0] += q
            heavy[partners[0]][2].append(t)
        return heavy, types

    def neighbours(res_top, name):
        return [b if a == name else a for a, b in res_top["bonds"] if name in (a, b)]

    entries = []
    for res in RESIDUES:
        sres = SOURCE["opls"].get(res, res.upper())
        need(sres in rtp, f"opls: residue {sres} missing from aminoacids.rtp")
        t_res = rtp[sres]
        heavy, types = united(t_res)
        check_net("opls", res, heavy, lambda a: heavy[a][0])
        pres = PARSE_SOURCE.get(res, res.upper())
        for name, (q, t, hts) in heavy.items():
            pdb = "CD1" if (res == "ile" and name == "CD") else name
            if res == "mse" and pdb == "SD":
                pdb = "SE"
            mass = nb[t]["mass"] + sum(nb[h]["mass"] for h in hts)
            if res == "mse" and pdb == "SE":
                mass = se_mass
            elem = nb[t]["atnum"]
            if elem == 6 and hts:
                sp3 = nb[t]["btype"] == "CT" or nb[t]["btype"].startswith("CT_")
                hetero = any(nb[types[n][0]]["atnum"] in (7, 8, 16) for n in neighbours(t_res, name))
                key = (sp3, len(hts), hetero)
                need(key in UA_CARBON, f"opls: no united-atom type for {res} {name} {key}")
                _, s, e = lj(nb, UA_CARBON[key])
            else:
                # Hydrogens on N, O and S carry no LJ in OPLS-AA: the heavy
                # atom's own type is the united atom's.
                for h in hts:
                    need(nb[h]["sigma_nm"] == 0 and nb[h]["eps_kj"] == 0, f"opls: polar H type {h} has LJ")
                _, s, e = lj(nb, t)
            pname = "SD" if (res == "mse" and pdb == "SE") else pdb
            need(pres in parse and pname in parse[pres], f"opls: no PARSE radius for {pres} {pname}")
            r = parse[pres][pname][1]
            entries.append(Entry(res, pdb, q, r, mass, s, e, False))
        # C-terminal oxygen: carboxylate type, zero charge (see the module comment).
        ot = read_tdb_type(top / "aminoacids.c.tdb", "COO-", "OXT")
        m, s, e = lj(nb, ot)
        entries.append(Entry(res, "OXT", 0.0, parse["BK-"]["O2"][1], m, s, e, False))
    # Water: the topology's HOH, hydrogens folded into the oxygen.
    heavy, _ = united(rtp["HOH"])
    (name, (q, t, hts)), = heavy.items()
    _, s, e = lj(nb, t)
    entries.append(Entry("hoh", "O", q, parse["H2O"]["OH"][1], nb[t]["mass"] + sum(nb[h]["mass"] for h in hts),
                         s, e, False))
    for pdb, mol, _ in IONS:
        if mol in ions_itp:
            t, q = ions_itp[mol]
            m, s, e = lj(nb, t)
            r = rmin_half(nb, t)
        else:  # zinc: not an OPLS-AA type; AMBER's Zn parameters
            t, q = amber_ions[mol]
            m, s, e = lj(amber_nb, t)
            r = rmin_half(amber_nb, t)
        entries.append(Entry(pdb, pdb, q, r, m, s, e, False))
    return entries


# ---------------------------------------------------------------------------
# Equivalences.

def build_equivalences(sets, renamed):
    """(source residue, source atom) -> (target residue, target atom)."""
    names = {k: {(e.res, e.atom) for e in v} for k, v in sets.items()}
    hyd = {(e.res, e.atom): e.hyd for v in sets.values() for e in v}
    eq = OrderedDict()

    def add(sr, sa, tr, ta):
        src, tgt = (sr, sa), (tr, ta)
        for k in names:
            need(src not in names[k], f"equivalence source {src} is an entry of {k}")
        if src in eq:
            need(eq[src] == tgt, f"equivalence {src} given two targets")
            return
        need(tgt in names["amber"] and tgt in names["charmm"], f"equivalence target {tgt} missing")
        if not hyd[tgt]:
            need(tgt in names["opls"], f"heavy-atom equivalence target {tgt} missing from opls")
        eq[src] = tgt

    for res in RESIDUES:
        have = {a for r, a in names["amber"] if r == res}
        # Names of the CHARMM topology (HN, HB1/HB2, Ile CD, ...).
        for old, new in renamed[res].items():
            if old != new and (res, old) not in names["amber"]:
                add(res, old, res, new)
        if "h" in have:
            add(res, "hn", res, "h")
            add(res, "h1", res, "h")
            add(res, "ht1", res, "h")
            add(res, "ht2", res, "h2")
            add(res, "ht3", res, "h3")
        else:  # proline: two ammonium hydrogens, whatever their names
            add(res, "h1", res, "h2")
            for a, b in (("hn1", "h2"), ("hn2", "h3"), ("ht1", "h2"), ("ht2", "h3")):
                add(res, a, res, b)
        for a, b in (("ot1", "o"), ("ot2", "oxt"), ("o1", "o"), ("o2", "oxt")):
            add(res, a, res, b)
    # A HIS with both ring hydrogens: HIP's HE2.
    add("his", "he2", "hip", "he2")
    # CHARMM histidine names.
    for alias, target in HIS_ALIASES:
        for (r, a) in sorted(names["amber"] | {k for k in eq}, key=lambda x: x[1]):
            if r == target:
                add(alias, a, *eq.get((r, a), (r, a)))
    for alias in ["hoh"] + WATER_ALIASES:
        for a, b in WATER_ATOM_ALIASES.items():
            if (alias, a) != ("hoh", b):
                add(alias, a, "hoh", b)
    for sr, sa, tr, ta in ION_ALIASES:
        add(sr, sa, tr, ta)
    return eq


# ---------------------------------------------------------------------------
# Writing.

HEADERS = {
    "opls": """\
opls: OPLS united-atom set (heavy atoms only) for structures without
hydrogens. Written by tools/qtable/gen_qtable.py; do not edit by hand.
chrg: OPLS-AA charges, gromacs-data /usr/share/gromacs/top/oplsaa.ff/
  aminoacids.rtp, each hydrogen's charge added to the heavy atom it is
  bonded to (the [ bonds ] of that file): every residue keeps its integer
  net charge (Asp/Glu -1, Lys/Arg/Hip +1, others 0).
radi: PARSE radii, python3-pdb2pqr /usr/lib/python3/dist-packages/pdb2pqr/
  dat/PARSE.DAT (oxt: BK- O2; water: H2O OH). Ions: Rmin/2 =
  2**(1/6)*sigma/2 of the ion type.
mass: heavy atom plus its hydrogens, oplsaa.ff/ffnonbonded.itp (amu).
sigm, epsi: oplsaa.ff/ffnonbonded.itp; sigma A = 10 * nm, epsilon
  kcal/mol = kJ/mol / 4.184. Carbons with hydrogens take the OPLS
  united-atom CHn type (CH next to N/O/S opls_006, else opls_008; CH2
  opls_005 / opls_009; CH3 opls_039 / opls_010; aromatic CH opls_075);
  other atoms their OPLS-AA type (polar H have no LJ in OPLS-AA).
  oxt: carboxylate O type of oplsaa.ff/aminoacids.c.tdb [ COO- ].
  Ions: oplsaa.ff/ions.itp types; zn: not in OPLS-AA, AMBER's Zn type
  (amber99sb-ildn.ff/ffnonbonded.itp, ions.itp).
Termini: the N-terminal N keeps the backbone N+H charge; oxt has zero
  charge. Together the ends add nothing, as a charged NH3+ / COO- pair
  does: a chain's net charge is the sum of its residue charges.
his = hid (ND1-H); hie NE2-H; hip +1; cyx disulfide Cys; hoh SPC water
  (oxygen with zero net charge); mse = met with se: Met SD's charge,
  radius and LJ, mass of Se from /usr/share/gromacs/top/atommass.dat.""",
    "amber": """\
amber: AMBER ff99 all-atom set (PDB v3 hydrogen names).
Written by tools/qtable/gen_qtable.py; do not edit by hand.
chrg, radi: python3-pdb2pqr /usr/lib/python3/dist-packages/pdb2pqr/dat/
  AMBER.DAT (radius = AMBER Rmin/2), with its AMBER atom types.
mass, sigm, epsi: by atom type from gromacs-data /usr/share/gromacs/top/
  amber99sb-ildn.ff/ffnonbonded.itp; sigma A = 10 * nm, epsilon kcal/mol
  = kJ/mol / 4.184. Water: AMBER.DAT WAT (TIP3P). Ions: types and
  charges of amber99sb-ildn.ff/ions.itp, radius Rmin/2 = 2**(1/6)*sigma/2.
Termini: h1 is an equivalence of h (ammonium named H1/H2/H3 or H/H2/H3);
  h2 and h3 carry +0.5 each (Pro: its two hydrogens); oxt carries -1.
  The N-terminal residue is +1, the C-terminal -1 over its side chain.
  Types and radii of h2/h3 and oxt: AMBER.DAT N- and C-terminal residues.
his = hid (ND1-H); hie NE2-H; hip +1; cyx disulfide Cys; mse = met with
  se: Met SD's charge, radius and LJ, mass of Se from
  /usr/share/gromacs/top/atommass.dat.""",
    "charmm": """\
charmm: CHARMM22 all-atom set, CHARMM names turned into PDB v3 ones
  (HN -> H, methylene HB1/HB2 -> HB2/HB3, Ile CD -> CD1, ...); the CHARMM
  names are equivalences.
Written by tools/qtable/gen_qtable.py; do not edit by hand.
chrg, radi: python3-pdb2pqr /usr/lib/python3/dist-packages/pdb2pqr/dat/
  CHARMM.DAT (radius = CHARMM Rmin/2), with its CHARMM atom types; cyx
  takes the DISU patch of that file; hydrogen bonding for the renaming
  from gromacs-data /usr/share/gromacs/top/charmm27.ff/aminoacids.rtp.
mass, sigm, epsi: by atom type from charmm27.ff/ffnonbonded.itp; sigma
  A = 10 * nm, epsilon kcal/mol = kJ/mol / 4.184. Water: TIP3 of
  CHARMM.DAT. Ions: SOD POT CLA CAL MG ZN2 of CHARMM.DAT.
Termini: h1 is an equivalence of h (ammonium named H1/H2/H3 or H/H2/H3);
  h2 and h3 carry +0.5 each (Pro: its two hydrogens); oxt carries -1.
  The N-terminal residue is +1, the C-terminal -1 over its side chain.
  Types and radii of h2/h3 and oxt: CHARMM.DAT NTER/PROP and CTER.
his = hsd (ND1-H); hie = hse; hip = hsp, +1; cyx disulfide Cys; mse = met
  with se: Met SD's charge, radius and LJ, mass of Se from
  /usr/share/gromacs/top/atommass.dat.""",
}

COLUMNS = "resi atom chrg radi mass sigm epsi end"


def write_table(path, sets, eq):
    out = ["equivalence"]
    for (sr, sa), (tr, ta) in eq.items():
        out.append(f"{sr:<4} {sa:<4} {tr:<4} {ta:<4}".rstrip())
    out.append("")
    for name in ("opls", "amber", "charmm"):
        out.append(name)
        out.append(COLUMNS)
        for h in HEADERS[name].splitlines():
            out.append(("! " + h).rstrip())
        out.append("!")
        out.append("! resi atom     chrg    radi     mass    sigm    epsi")
        prev = None
        for e in sets[name]:
            if prev is not None and e.res != prev:
                out.append("!")
            prev = e.res
            out.append(e.line())
        out.append("")
    for line in out:
        need(len(line) <= LINE_LEN, f"line longer than {LINE_LEN} columns: {line}")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(out) + "\n")


def generate():
    for p in (PQR_DAT / "AMBER.DAT", GMX_TOP / "oplsaa.ff" / "aminoacids.rtp"):
        need(p.exists(), f"{p} not found: install the Debian packages pdb2pqr and gromacs-data")
    amber, amber_ren = amber_set()
    charmm, charmm_ren = charmm_set()
    opls = opls_set()
    sets = {"opls": opls, "amber": amber, "charmm": charmm}
    # The all-atom sets must name the same atoms, and the united-atom set
    # their heavy atoms, so that one equivalence list serves all three.
    aa = {(e.res, e.atom) for e in amber}
    need(aa == {(e.res, e.atom) for e in charmm},
         "amber and charmm atom names differ: " + str(sorted(aa ^ {(e.res, e.atom) for e in charmm})))
    heavy = {(e.res, e.atom) for e in amber if not e.hyd}
    need(heavy == {(e.res, e.atom) for e in opls},
         "opls heavy atoms differ from amber's: " + str(sorted(heavy ^ {(e.res, e.atom) for e in opls})))
    renamed = {res: dict(charmm_ren[res]) for res in RESIDUES}
    eq = build_equivalences(sets, renamed)
    for k, v in sets.items():
        need(len(v) <= MAX_ENTRIES, f"{k}: {len(v)} entries")
    need(len(eq) <= MAX_EQUIV, f"{len(eq)} equivalences")
    write_table(TABLE, sets, eq)
    print(f"wrote {TABLE.relative_to(ROOT)}: {len(eq)} equivalences; "
          + ", ".join(f"{k} {len(v)} entries" for k, v in sets.items()))


# ---------------------------------------------------------------------------
# Checker: reads the table as kova's reader does and assigns real structures.

def read_table(path):
    """Equivalences and sets, by the reader's rules: the first word may open
    an equivalence section (four names a line, up to a blank line); each set
    is its name, column keywords up to `end`, then one entry a line up to a
    blank line; '!' and '*' lines are remarks; names are lower-cased and cut
    to 4 characters.  Also checks what the reader would choke on."""
    lines = path.read_text().split("\n")
    for i, l in enumerate(lines, 1):
        need(len(l) <= LINE_LEN, f"{path}:{i}: longer than {LINE_LEN} columns")

    def remark(l):
        w = l.split()
        return bool(w) and w[0][0] in "!*"

    def name(w, where):
        n = w.lower()[:4]
        need(NAME_RE.match(n), f"{where}: {w!r} cannot be read as a name")
        return n

    i = 0
    eq = {}
    need(lines[0].split()[:1] == ["equivalence"], "the table must start with `equivalence`")
    i = 1
    while i < len(lines) and lines[i].strip():
        if not remark(lines[i]):
            w = lines[i].split()
            need(len(w) == 4, f"line {i + 1}: an equivalence needs four names")
            src = (name(w[0], i + 1), name(w[1], i + 1))
            need(src not in eq, f"line {i + 1}: equivalence {src} given twice")
            eq[src] = (name(w[2], i + 1), name(w[3], i + 1))
        i += 1
    sets = {}
    while i < len(lines):
        if not lines[i].strip() or remark(lines[i]):
            i += 1
            continue
        words = lines[i].split()
        setname = words[0].lower()
        cols = []
        rest = words[1:]
        i += 1
        while "end" not in [w.lower() for w in rest]:
            need(i < len(lines), f"set {setname}: no `end` after the column names")
            cols += [w.lower()[:4] for w in rest]
            rest = lines[i].split()
            i += 1
        cols += [w.lower()[:4] for w in rest[:[w.lower() for w in rest].index("end")]]
        need(len(cols) <= 16, f"set {setname}: more than 16 columns")
        table = {}
        while i < len(lines) and lines[i].strip():
            if not remark(lines[i]):
                w = lines[i].split()
                need(len(w) == len(cols), f"line {i + 1}: {len(w)} values for {len(cols)} columns")
                rec = {}
                for c, v in zip(cols, w):
                    if c in ("resi", "atom"):
                        rec[c] = name(v, i + 1)
                    else:
                        need(re.match(r"^-?\d+(\.\d*)?$", v), f"line {i + 1}: {v!r} is not a number")
                        rec[c] = float(v)
                key = (rec["resi"], rec["atom"])
                need(key not in table, f"line {i + 1}: {key} given twice in set {setname}")
                table[key] = rec
            i += 1
        need(len(table) <= MAX_ENTRIES, f"set {setname}: more than {MAX_ENTRIES} entries")
        sets[setname] = table
    need(len(eq) <= MAX_EQUIV, "more than 1000 equivalences")
    return eq, sets


def lookup(eq, table, res, atom):
    if (res, atom) in table:
        return table[(res, atom)]
    if (res, atom) in eq:
        return table.get(eq[(res, atom)])
    return None


PROTEIN = set(RESIDUES) | {a for a, _ in HIS_ALIASES}
WATERS = {"hoh"} | set(WATER_ALIASES)
ION_CHARGE = {"na": 1, "k": 1, "cl": -1, "ca": 2, "mg": 2, "zn": 2}


def read_structure(path):
    """Atoms of the first model: (chain, residue number, residue, atom,
    charge column or None).  PDB files: names by PDB columns (atom 13-16,
    residue 18-21), stripped, lower-cased, 4 characters.  PQR files are
    whitespace-separated (the ones written by pdb2pqr put four-character
    atom names in columns 14-17, so columns would cut HH11 to HH1): there
    the words are taken."""
    atoms = []
    pqr = path.suffix.lower() == ".pqr"
    for line in path.read_text().splitlines():
        if line.startswith("ENDMDL"):
            break
        if not line.startswith(("ATOM", "HETATM")):
            continue
        if pqr:
            w = line.split()
            atom, res = w[2].lower()[:4], w[3].lower()[:4]
            chain, num = (w[4], w[5]) if len(w) == 11 else ("", w[4])
            atoms.append((chain, num, res, atom, float(w[-2])))
        else:
            atom = line[12:16].strip().lower()[:4]
            res = line[17:21].strip().lower()[:4]
            atoms.append((line[21], line[22:27], res, atom, None))
    return atoms


def hydrogen_name(a):
    return a[0] == "h" or (a[0].isdigit() and a[1:2] == "h")


STRUCTURES = [  # (file under the data folder, expected net charge in the all-atom sets)
    ("pdb/1A8O.pdb", None),
    ("pqr/barnase.pqr", 2),
    ("pqr/barstar.pqr", -5),
    ("pdb/2BEG.pdb", None),
    ("pdb/1LCD.pdb", None),
]


def data_dir(arg):
    if arg:
        return Path(arg)
    for p in (os.environ.get("KOVA_SHARED_DATA"), ROOT / "shared" / "data", ROOT.parent / "shared" / "data"):
        if p and Path(p).is_dir():
            return Path(p)
    raise Fail("structure folder not found: give --data DIR (the folder holding pdb/ and pqr/)")


def check(table_path, data):
    eq, sets = read_table(table_path)
    print(f"{table_path.relative_to(ROOT) if table_path.is_relative_to(ROOT) else table_path}: "
          f"{len(eq)} equivalences; " + ", ".join(f"{k} {len(v)} entries" for k, v in sets.items()))
    need(set(sets) >= {"opls", "amber", "charmm"}, "sets opls, amber and charmm wanted")
    # Every equivalence target exists in the all-atom sets; heavy-atom
    # targets in the united-atom set too.
    for src, tgt in eq.items():
        for k in ("amber", "charmm"):
            need(tgt in sets[k], f"equivalence {src} -> {tgt}: target missing from {k}")
        if not hydrogen_name(tgt[1]):
            need(tgt in sets["opls"], f"equivalence {src} -> {tgt}: target missing from opls")
    # Integer residue charges: all entries of a residue minus its terminal atoms.
    for k, table in sets.items():
        per = {}
        for (r, a), rec in table.items():
            if r in RESIDUES and a not in ("oxt", "h2", "h3"):
                per[r] = per.get(r, 0.0) + rec["chrg"]
            elif r in RESIDUES and k == "opls" and a == "oxt":
                need(rec["chrg"] == 0.0, "opls oxt must be neutral")
        for r in RESIDUES:
            need(abs(per[r] - NET.get(r, 0)) < 5e-4, f"{k} {r}: net {per[r]:+.4f}")
    failures = []
    print()
    print("structure        set     atoms  unassigned: prot.heavy prot.H water ions other"
          "   net charge  expected")
    for rel, wanted in STRUCTURES:
        path = data / rel
        if not path.exists():
            failures.append(f"{rel}: not found")
            continue
        atoms = read_structure(path)
        residues = {}
        for ch, num, res, atom, q in atoms:
            residues[(ch, num)] = res
        expected = sum(NET.get(r, 0) for r in residues.values() if r in PROTEIN) + \
            sum(ION_CHARGE.get(r, 0) for r in residues.values())
        # All hydrogens present (C-alpha hydrogens as the sign), not only
        # the polar ones of some NMR files.
        has_h = any(a in ("ha", "ha2", "ha3") for _, _, r, a, _ in atoms if r in PROTEIN)
        for k in ("opls", "amber", "charmm"):
            table = sets[k]
            miss = {"prot.heavy": {}, "prot.H": {}, "water": {}, "ions": {}, "other": {}}
            net = 0.0
            for ch, num, res, atom, q in atoms:
                rec = lookup(eq, table, res, atom)
                if rec is not None:
                    net += rec["chrg"]
                    continue
                if res in PROTEIN:
                    cls = "prot.H" if hydrogen_name(atom) else "prot.heavy"
                elif res in WATERS:
                    cls = "water"
                elif res in ION_CHARGE:
                    cls = "ions"
                else:
                    cls = "other"
                miss[cls][(res, atom)] = miss[cls].get((res, atom), 0) + 1
            counts = [sum(v.values()) for v in miss.values()]
            # What the net charge should be: the residue count for the
            # united-atom set; for the all-atom sets, only where the file
            # has hydrogens (without them an all-atom set cannot sum up).
            if k == "opls":
                exp = expected
            elif has_h:
                exp = wanted if wanted is not None else expected
            else:
                exp = None
            print(f"{rel:<16} {k:<7} {len(atoms):5d}  {counts[0]:22d} {counts[1]:6d} {counts[2]:5d}"
                  f" {counts[3]:4d} {counts[4]:5d}   {net:+10.4f}  "
                  + (f"{exp:+d}" if exp is not None else "-"))
            for cls, v in miss.items():
                if v:
                    shown = " ".join(f"{r}:{a}" + (f"x{n}" if n > 1 else "")
                                     for (r, a), n in sorted(v.items())[:12])
                    more = " ..." if len(v) > 12 else ""
                    print(f"{'':26}{cls} unassigned: {shown}{more}")
            if counts[0]:
                failures.append(f"{rel} {k}: {counts[0]} protein heavy atoms unassigned")
            if k != "opls" and counts[1]:
                failures.append(f"{rel} {k}: {counts[1]} protein hydrogens unassigned")
            if k != "opls" and wanted is not None and abs(net - wanted) > 5e-4:
                failures.append(f"{rel} {k}: net charge {net:+.4f}, wanted {wanted:+d}")
            if k == "opls" and not has_h and abs(net - expected) > 5e-4:
                failures.append(f"{rel} opls: net charge {net:+.4f}, residue count says {expected:+d}")
        if rel.endswith(".pqr"):
            # The PQR charges are AMBER's: compare away from the termini,
            # whose charges follow this table's own convention.
            term = {(ch, num) for ch, num, r, a, q in atoms if a in ("oxt", "h2", "h3")}
            worst, n, bad = 0.0, 0, 0
            for ch, num, res, atom, q in atoms:
                if (ch, num) in term:
                    continue
                rec = lookup(eq, sets["amber"], res, atom)
                if rec is None:
                    continue
                d = abs(rec["chrg"] - q)
                worst = max(worst, d)
                n += 1
                bad += d > 1e-4
            print(f"{'':26}amber vs PQR charges, {n} non-terminal atoms: "
                  f"largest difference {worst:.4f}, {bad} differ by more than 0.0001")
            if bad:
                failures.append(f"{rel}: {bad} amber charges differ from the PQR charges")
    print()
    if failures:
        print("CHECK FAILED:")
        for f in failures:
            print("  " + f)
        return 1
    print("check passed: every protein atom assigned; net charges as expected")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--check", action="store_true", help="only check the existing table")
    ap.add_argument("--data", help="folder holding the pdb/ and pqr/ test structures")
    ap.add_argument("--table", help="table to check (default data/qtable.dat)")
    args = ap.parse_args()
    try:
        if not args.check:
            generate()
        return check(Path(args.table) if args.table else TABLE, data_dir(args.data))
    except Fail as e:
        print(f"gen_qtable: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
