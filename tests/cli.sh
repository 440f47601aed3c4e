#!/usr/bin/env bash
# The program's command line: a deck named on it runs as it does from
# standard input; --help and --version answer and exit 0; a missing deck
# file or an unknown option exits 2 with a message.
set -u
kova=$1
deck=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
fail() { echo "cli: $*"; exit 1; }
mask() { grep -v -e 'date/time' -e 'total CPU' -e '^  [0-9 ]*-[A-Z][a-z][a-z]-'; }
"$kova" --help > help.txt 2>&1 || fail "--help exited $?"
grep -q "usage: kova \[deck\]" help.txt || fail "--help has no usage line"
"$kova" --version > version.txt 2>&1 || fail "--version exited $?"
grep -q "^kova " version.txt || fail "--version names no release"
"$kova" no_such_deck.inp > missing.txt 2>&1
[ $? -eq 2 ] || fail "a missing deck file did not exit 2"
grep -q "cannot open the deck file no_such_deck.inp" missing.txt || fail "no message for a missing deck file"
"$kova" --frob > unknown.txt 2>&1
[ $? -eq 2 ] || fail "an unknown option did not exit 2"
cp "$(dirname "$deck")"/* . && cp "$deck" deck.inp
"$kova" deck.inp > named.txt 2>&1; a=$?
"$kova" < deck.inp > piped.txt 2>&1; b=$?
[ $a -eq $b ] || fail "exit statuses differ: named $a, piped $b"
diff <(mask < named.txt) <(mask < piped.txt) > /dev/null || fail "a named deck lists differently from standard input"
echo "cli: ok"
