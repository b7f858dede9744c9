#!/usr/bin/env bash
# Checks the receiver's service template as systemd reads it: one instance of
# it, with the program the build made in place of the installed one.
#   verify_unit.sh UNIT PROGRAM
# Exits 77 (skipped) where systemd-analyze is missing.
set -euo pipefail
unit=$1 program=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/kestil-cli|$program|" "$unit" >"$dir/kestil-cli@lab.service"
# The manual page is checked with the package, where it is installed.
systemd-analyze verify --man=no "$dir/kestil-cli@lab.service"
