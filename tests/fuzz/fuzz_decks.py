#!/usr/bin/env python3
"""Mutation fuzzing of the deck tests.

Each round takes one deck of tests/decks, mutates it (numbers replaced by
extreme values, words swapped, lines dropped, doubled or cut, bytes changed,
a non-finite variable used as a value, a line longer than 80 columns, the
input cut short inside a command) and runs it through kova in a fresh folder
holding the deck's files. A run passes when kova ends by itself with one of
the documented exit statuses, prints its termination report, prints no NaN or
infinity as a result, and the sanitizers (when kova was built with them) say
nothing. The rounds are drawn from a fixed seed and stop after a time budget.

    fuzz_decks.py KOVA DECKS_DIR [--seed N] [--seconds S] [--keep DIR]
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

EXTREME = ["0", "-1", "1e30", "-1e30", "1e-30", "2147483647", "2147483648",
           "-2147483648", "16777217", "99999999999", "0.0", "-0.0", "65", "66",
           "2097152", "1", "-9999", "3.4e38", "$y", "$z", "eval 1 0 / end"]
WORDS = ["end", "stop", "elec", "read", "write", "print", "set", "sele", "mol", "all",
         "calc", "setu", "full", "anal", "energy", "self", "phi", "coor", "qrad", "eof",
         "while", "endwhile", "if", "endif", "else", "stre", "dime", "assi", "mode", "inter",
         "batch", "bomb", "fata", "grid", "gcen", "same", "bcfl", "ions", "pdie", "sdie",
         "temp", "maxi", "mask", "not", "residue", "hoh", "unit", "file", "*", "!"]
# Decks whose unmutated run is long under the sanitizers: left out so that the
# time budget goes to many short runs.
SLOW = {"example_barnase", "focus_barnase"}
NUMBER = re.compile(r"(?<![\w.$])-?(\d+\.?\d*|\.\d+)([eEdD]-?\d+)?(?![\w.])")
WORD = re.compile(r"[A-Za-z][\w.'*]*")
NONFINITE = re.compile(r"(?<![A-Za-z])(NaN|nan|Infinity|-?Inf|inf)(?![A-Za-z])")
STATUSES = {0, 1, 2, 3}


def mutate(text, rnd):
    lines = text.split("\n")
    for _ in range(rnd.randint(1, 3)):
        if not lines:
            break
        i = rnd.randrange(len(lines))
        op = rnd.randrange(9)
        line = lines[i]
        if op == 0 or op == 1:
            nums = list(NUMBER.finditer(line))
            if nums:
                m = rnd.choice(nums)
                lines[i] = line[:m.start()] + rnd.choice(EXTREME) + line[m.end():]
        elif op == 2:
            words = list(WORD.finditer(line))
            if words:
                m = rnd.choice(words)
                lines[i] = line[:m.start()] + rnd.choice(WORDS) + line[m.end():]
        elif op == 3:
            del lines[i]
        elif op == 4:
            lines.insert(i, line)
        elif op == 5:
            # The input ends inside a command.
            cut = rnd.randrange(len(line) + 1)
            lines = lines[:i] + [line[:cut]]
        elif op == 6 and line:
            j = rnd.randrange(len(line))
            lines[i] = line[:j] + chr(rnd.randrange(32, 127)) + line[j + 1:]
        elif op == 7:
            lines[i] = line + " " * rnd.randrange(1, 80) + "ions 150.0 grid 0.5"
        else:
            lines.insert(i, rnd.choice(WORDS) + " " + rnd.choice(EXTREME) + " end")
    # Variables that are not finite numbers, for the "$y" and "$z" values.
    return "assi y = -1 sqrt end\nassi z = 1 0 / end\n" + "\n".join(lines) + "\n"


def check(kova, deck_dir, name, text, timeout):
    """Runs one mutated deck; returns a list of what went wrong."""
    work = tempfile.mkdtemp(prefix="kova_fuzz_")
    try:
        files = os.path.join(deck_dir, name + ".files")
        if os.path.isdir(files):
            shutil.copytree(files, work, dirs_exist_ok=True)
        try:
            p = subprocess.run([kova], input=text.encode("latin-1", "replace"), cwd=work,
                               capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return None  # a long but legitimate calculation; not judged
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
        for ln in out.splitlines():
            # Echoed input and the caret display repeat what was typed, and a
            # message refusing a value quotes it.
            if (re.match(r"^\S.* >  ", ln) or ln.startswith(" > ") or "Set the variable:" in ln
                    or re.match(r"^ ?(NOTE|WARNING|SERIOUS|ERROR|FATAL|PARSE_ERROR)", ln)):
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
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--timeout", type=float, default=30.0)
    ap.add_argument("--keep", default="", help="folder for the failing decks")
    a = ap.parse_args()
    a.kova = os.path.abspath(a.kova)
    names = sorted(f[:-4] for f in os.listdir(a.decks) if f.endswith(".inp") and f[:-4] not in SLOW)
    rnd = random.Random(a.seed)
    start = time.monotonic()
    rounds = failed = skipped = 0
    while time.monotonic() - start < a.seconds:
        name = rnd.choice(names)
        with open(os.path.join(a.decks, name + ".inp"), encoding="latin-1") as f:
            text = mutate(f.read(), rnd)
        faults = check(a.kova, a.decks, name, text, a.timeout)
        rounds += 1
        if faults is None:
            skipped += 1
            continue
        if faults:
            failed += 1
            print("FAILED round %d (deck %s): %s" % (rounds, name, "; ".join(faults)))
            print("---- mutated deck ----\n" + text + "----------------------")
            if a.keep:
                os.makedirs(a.keep, exist_ok=True)
                with open(os.path.join(a.keep, "fuzz_%d_%s.inp" % (rounds, name)), "w",
                          encoding="latin-1") as f:
                    f.write(text)
    print("fuzz: %d passed, %d failed, %d skipped" % (rounds - failed - skipped, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
