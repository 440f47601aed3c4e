#!/usr/bin/env python3
"""Mutation fuzzing of the trajectory record files read by the analysis.

Each round takes the record files of the analysis decks (tests/decks/anal_*),
damages one of them (records dropped, doubled, swapped or cut, characters
changed, numbers replaced by extreme values or asterisks, the file cut short
or emptied, headers and end records moved) and runs a deck that reads it
with anal traj, anal rxns and anal add. A run passes when kova ends by
itself with one of the documented exit statuses, prints its termination
report, prints no NaN or infinity, and the sanitizers (when kova was built
with them) say nothing; a damaged file that is refused must be named in the
message. The rounds are drawn from a fixed seed and stop after a time budget.

    anal_fuzz.py KOVA DECKS_DIR [--seed N] [--seconds S]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

EXTREME = ["-1.000", "-999.000", "0.000", "1e30", "-1e30", "nan", "inf", "********",
           "99999999.999", "2147483648", "1.5", "-0.0", "", "x"]
NONFINITE = re.compile(r"(?<![A-Za-z])(NaN|nan|Infinity|-?Inf|inf)(?![A-Za-z])")
STATUSES = {0, 1, 2, 3}

DECK = """read mol 1 qcard file ion.qcrd end
read mol 2 qcard file {mol} end
edit suni iflx 1 {suni} end
bd rad1 3.0 end
anal traj file fuzz.trj {traj} tdc rgyr end end
anal rxns file fuzz.trj defrxn 1 1 1 1 4.0 moni plus 1.0 time 0.1 end end
anal add numb 2 fuzz.trj fuzz.trj end end
anal traj file tot1.trj tdc end end
stop
"""
SOURCES = [
    # (deck files folder, record file, structure of molecule 2, suni words, traj words)
    ("anal_traj.files", "flx1.trj", "quad.qcrd", "nums 4 atnu 2 2 3 3 4 4 5 5",
     "bond all angl all dihe all veca ee rdc rrt leng lrt dcc all drt all"),
    ("anal_rxns.files", "flx1.trj", "bead.qcrd", "", "bond all"),
    ("anal_rxns.files", "short.trj", "bead.qcrd", "", "step 2"),
]


def mutate(lines, rnd):
    lines = list(lines)
    for _ in range(rnd.randint(1, 3)):
        if not lines:
            lines.append(rnd.choice(["", " -999.000 1 1 0", "junk"]))
            continue
        i = rnd.randrange(len(lines))
        op = rnd.randrange(9)
        line = lines[i]
        if op == 0:
            del lines[i]
        elif op == 1:
            lines.insert(i, line)
        elif op == 2:
            j = rnd.randrange(len(lines))
            lines[i], lines[j] = lines[j], lines[i]
        elif op == 3:
            lines[i] = line[:rnd.randrange(len(line) + 1)]
        elif op == 4 and line:
            j = rnd.randrange(len(line))
            lines[i] = line[:j] + chr(rnd.randrange(32, 127)) + line[j + 1:]
        elif op == 5:
            # One field replaced, keeping the record's columns.
            starts = [(1, 12), (13, 10), (23, 10), (33, 10)]
            a, w = rnd.choice(starts)
            v = rnd.choice(EXTREME).rjust(w)[:w]
            lines[i] = (line.ljust(43)[:a] + v + line.ljust(43)[a + w:]).rstrip()
        elif op == 6:
            lines = lines[:i]  # the file cut short
        elif op == 7:
            lines.insert(i, rnd.choice([" %12.3f  %8.3f  %8.3f  %8.3f" % (-1, 1, 1, 0),
                                        " %12.3f  %8.3f  %8.3f  %8.3f" % (-999, 1, 1, 0)]))
        else:
            lines[i] = line + " " + rnd.choice(EXTREME)
    return lines


def check(kova, decks, src, lines, timeout):
    folder, _, mol, suni, traj = src
    work = tempfile.mkdtemp(prefix="kova_anal_fuzz_")
    try:
        shutil.copytree(os.path.join(decks, folder), work, dirs_exist_ok=True)
        with open(os.path.join(work, "fuzz.trj"), "w", encoding="latin-1") as f:
            f.write("\n".join(lines) + ("\n" if lines else ""))
        deck = DECK.format(mol=mol, suni=suni, traj=traj)
        try:
            p = subprocess.run([kova], input=deck.encode(), cwd=work, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return ["no end within %d s" % timeout]
        out = p.stdout.decode("latin-1")
        err = p.stderr.decode("latin-1")
        faults = []
        if p.returncode not in STATUSES:
            faults.append("exit status %d" % p.returncode)
        if "KOVA termination" not in out:
            faults.append("no termination report")
        for marker in ("runtime error", "AddressSanitizer", "LeakSanitizer"):
            if marker in err:
                faults.append("sanitizer: " + err.strip().splitlines()[0][:200])
                break
        if "problem with trj file" in out and not re.search(r"file \S+\.trj, record \d+: ", out):
            faults.append("a refused file is not named with its record")
        for ln in out.splitlines():
            if (re.match(r"^\S.* >  ", ln) or ln.startswith(" > ")
                    or re.match(r"^ ?(NOTE|WARNING|SERIOUS|ERROR|FATAL)", ln)
                    or re.match(r"^   file \S+, record", ln)):
                continue
            if NONFINITE.search(ln):
                faults.append("non-finite number printed: " + ln.strip()[:120])
                break
        return faults
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kova")
    ap.add_argument("decks")
    ap.add_argument("--seed", type=int, default=20261207)
    ap.add_argument("--seconds", type=float, default=30)
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    originals = []
    for src in SOURCES:
        with open(os.path.join(a.decks, src[0], src[1]), encoding="latin-1") as f:
            originals.append((src, f.read().split("\n")[:-1]))
    start, rounds, bad = time.time(), 0, 0
    while time.time() - start < a.seconds:
        src, lines = rnd.choice(originals)
        damaged = mutate(lines, rnd)
        faults = check(a.kova, a.decks, src, damaged, 60)
        rounds += 1
        if faults:
            bad += 1
            print("round %d (%s/%s): %s" % (rounds, src[0], src[1], "; ".join(faults)))
            print("\n".join(damaged[:40]))
    print("%d rounds, %d with faults" % (rounds, bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
