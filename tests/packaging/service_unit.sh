#!/bin/sh
# The systemd unit as installed below ROOT (an unpacked package or a DESTDIR install): its
# program is there, and systemd-analyze verifies an instance of it (every directive known,
# every value valid, the manual pages it names present) and rates its exposure no worse than
# "OK" (2.5 at most; 1.7 with the hardening it has).
#   service_unit.sh ROOT
# Exit status 77 (skipped) where systemd is not installed.
set -eu
root=$1
if ! command -v systemd-analyze >/dev/null; then
	echo "skipped: systemd-analyze not found (systemd is not installed)"
	exit 77
fi
unit=$(find "$root" -path '*/lib/systemd/system/ferrod@.service')
if [ -z "$unit" ]; then
	echo "no lib/systemd/system/ferrod@.service below $root"
	exit 1
fi
program=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
if [ ! -x "$root$program" ]; then
	echo "ExecStart runs $program, which is not in $root"
	exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The unit as it is, but for the program's place, named as an instance.
sed "s|^ExecStart=$program |ExecStart=$root$program |" "$unit" >"$tmp/ferrod@ttyUSB0.service"
manpath=$(dirname "$(find "$root" -path '*/man8/ferrod.8*')")/..
# verify passes over values it cannot parse with a message only: any message fails the test.
MANPATH=$manpath systemd-analyze verify "$tmp/ferrod@ttyUSB0.service" >"$tmp/verify" 2>&1 ||
	echo "systemd-analyze verify: exit status $?" >>"$tmp/verify"
if [ -s "$tmp/verify" ]; then
	cat "$tmp/verify"
	exit 1
fi
if ! systemd-analyze security --offline=yes --threshold=25 "$tmp/ferrod@ttyUSB0.service" \
	>"$tmp/security"; then
	cat "$tmp/security"
	echo "exposure above 2.5"
	exit 1
fi
tail -1 "$tmp/security"
# The condition in front of ferrod, run as systemd would for an instance ($$ is a dollar sign):
# a device name of 10 characters fits (/dev/NAME has 15), one of 11 is refused.
condition=$(sed -n 's/^ExecCondition=//p' "$unit" | sed 's/\$\$/$/g')
instance_condition() {
	eval "$(printf '%s\n' "$condition" | sed "s|%[iI]|$1|g")"
}
if ! out=$(instance_condition ttyXRUSB10) || [ -n "$out" ]; then
	echo "the start condition refuses ttyXRUSB10: $out"
	exit 1
fi
if out=$(instance_condition ttyXRUSB100); then
	echo "the start condition lets ttyXRUSB100 (/dev/ttyXRUSB100, 16 characters) through"
	exit 1
fi
echo "ttyXRUSB100: $out"
echo "ferrod@.service verified"
