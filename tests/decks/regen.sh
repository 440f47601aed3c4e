#!/usr/bin/env bash
# Rewrites the expected output of the named decks (or of all decks) from the
# release build, for a person to review with git diff before committing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
kova=${KOVA:-$here/../../build/release/kova}
if [ $# -eq 0 ]; then set -- "$here"/*.inp; fi
for deck in "$@"; do
  case "$deck" in */*) ;; *) deck="$here/$deck" ;; esac
  case "$deck" in *.inp) ;; *) deck="$deck.inp" ;; esac
  bash "$here/run_deck.sh" "$kova" "$deck" --regen
done
