#!/bin/sh
# The board's init script: its start function, run against stand-ins for procd's helpers (and
# for logger and mkdir, so that nothing on this machine changes), must ask procd for exactly
# these instances and command lines.
#   initscript_test.sh INIT_SCRIPT
set -eu
export LC_ALL=C
script=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

record() {
	for arg in "$@"; do
		printf '[%s]' "$arg"
	done >>"$tmp/calls"
	echo >>"$tmp/calls"
}
procd_open_instance() { record open_instance "$@"; }
procd_set_param() { record set_param "$@"; }
procd_close_instance() { record close_instance "$@"; }
logger() { record logger "$@"; }
mkdir() { record mkdir "$@"; }

# shellcheck source=/dev/null
. "$script"
CONF_DIR=$tmp/etc/ferrod
command mkdir -p "$CONF_DIR"
: >"$CONF_DIR/ttyS0.conf"
: >"$CONF_DIR/ttyS10.conf"
: >"$CONF_DIR/ttyXRUSB10.conf"    # /dev/ttyXRUSB10: 15 characters, the longest that fits
: >"$CONF_DIR/ttyXRUSB100.conf"   # one more: refused
: >"$CONF_DIR/ttyS1.conf.orig"    # not a configuration
command mkdir "$CONF_DIR/ttyS2.conf" # a folder, not a file
start_service

instance() {
	cat <<EOF
[open_instance][$1]
[set_param][command][/usr/sbin/ferrod][-c][$CONF_DIR/$1.conf][-d][/dev/$1][-s][/var/run/ferrod/$1.stats]
[set_param][respawn][3600][5][5]
[set_param][file][$CONF_DIR/$1.conf]
[close_instance]
EOF
}
{
	echo '[mkdir][-p][/var/run/ferrod]'
	instance ttyS0
	instance ttyS10
	instance ttyXRUSB10
	echo '[logger][-t][ferrod][-p][daemon.err][/dev/ttyXRUSB100 or /var/run/ferrod/ttyXRUSB100.stats is too long for ferrod (15 and 63 characters at most)]'
} >"$tmp/expected"

if ! diff -u "$tmp/expected" "$tmp/calls"; then
	echo "the start function asked for other instances than expected (- expected, + got)"
	exit 1
fi

# A statistics folder of 51 characters leaves room for ttyS0 (63 in all), not for ttyS10.
: >"$tmp/calls"
STATS_DIR=/var/run/ferrod/statistics-kept-in-ram-of-a-gateway
start_service
{
	echo "[mkdir][-p][$STATS_DIR]"
	instance ttyS0 | sed "s|/var/run/ferrod/|$STATS_DIR/|"
	echo "[logger][-t][ferrod][-p][daemon.err][/dev/ttyS10 or $STATS_DIR/ttyS10.stats is too long for ferrod (15 and 63 characters at most)]"
	echo "[logger][-t][ferrod][-p][daemon.err][/dev/ttyXRUSB10 or $STATS_DIR/ttyXRUSB10.stats is too long for ferrod (15 and 63 characters at most)]"
	echo "[logger][-t][ferrod][-p][daemon.err][/dev/ttyXRUSB100 or $STATS_DIR/ttyXRUSB100.stats is too long for ferrod (15 and 63 characters at most)]"
} >"$tmp/expected-long"
if ! diff -u "$tmp/expected-long" "$tmp/calls"; then
	echo "with a long statistics folder, other instances than expected (- expected, + got)"
	exit 1
fi
echo "start function: instances and command lines as expected"
