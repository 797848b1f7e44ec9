#!/usr/bin/env bash
# make_sandbox.sh ROOT - prepares ROOT as the file system of a router for
# cmsd --root ROOT: the example configuration (copied once, kept across
# runs like flash), /etc/VERSION, a cipher key, an empty /tmp (as after a
# boot), and stand-ins for the device tools that only record their calls
# in ROOT/stub_calls.log. Put ROOT/stub_bin first on PATH for the daemon.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 ROOT" >&2; exit 2; }
src="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$1"
root="$(cd "$1" && pwd)"

mkdir -p "$root"/mnt/jffs2/conf "$root"/etc/cms "$root"/proc/sys/net/ipv4 \
         "$root"/var/run "$root"/dev "$root"/bin "$root"/sbin "$root"/usr/sbin "$root"/stub_bin
if [ ! -d "$root/mnt/jffs2/conf/user" ]; then
  cp -r "$src"/examples/user "$src"/examples/isp "$src"/examples/app "$root/mnt/jffs2/conf/"
fi
cp "$src/examples/etc/VERSION" "$root/etc/VERSION"
[ -f "$root/etc/cms/cipher.key" ] || head -c 32 /dev/urandom > "$root/etc/cms/cipher.key"
rm -rf "$root/tmp"
mkdir -p "$root/tmp"

stub() {
  local path=$1 body=${2:-}
  cat > "$path" <<STUB
#!/bin/sh
{ printf '%s' "\$(basename "\$0")"; for a in "\$@"; do printf ' %s' "\$a"; done; printf '\n'; } >> "$root/stub_calls.log"
$body
exit 0
STUB
  chmod +x "$path"
}
stub "$root/stub_bin/fw_printenv" "printf 'bootdelay=3\nethaddr=02:c0:ff:ee:00:01\n'"
stub "$root/stub_bin/ifconfig" "echo 'br0       Link encap:Ethernet  HWaddr 02:C0:FF:EE:00:01'"
for tool in iptables killall telnetd cwmpc ip iperf sleep; do stub "$root/stub_bin/$tool"; done
for tool in bin/clat.sh bin/ip-passthrough.sh bin/ipv6_start.sh bin/sleep sbin/ip usr/sbin/vsftpd; do
  stub "$root/$tool"
done
