#!/usr/bin/env bash
# demo.sh - builds cmsd and runs it in the foreground on the example
# configuration, in ./sandbox, on port 25001. Ctrl-C stops it (the script
# turns it into SIGTERM: the daemon itself ignores SIGINT, as on the
# router). `rm -rf sandbox` starts over from the example tree.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build -DCMS_BENCH=OFF
cmake --build build -j"$(nproc)" --target cmsd cms

root="$PWD/sandbox"
mkdir -p "$root"/mnt/jffs2/conf "$root"/etc/cms "$root"/proc/sys/net/ipv4 \
         "$root"/var/run "$root"/dev "$root"/bin "$root"/sbin "$root"/usr/sbin "$root"/stub_bin

# The configuration lives on "flash": copied once, kept across demo runs.
if [ ! -d "$root/mnt/jffs2/conf/user" ]; then
  cp -r examples/user examples/isp examples/app "$root/mnt/jffs2/conf/"
fi
cp examples/etc/VERSION "$root/etc/VERSION"
[ -f "$root/etc/cms/cipher.key" ] || head -c 32 /dev/urandom > "$root/etc/cms/cipher.key"

# /tmp is empty after every boot of the router.
rm -rf "$root/tmp"
mkdir -p "$root/tmp"

# Device tools are stand-ins that only record their arguments.
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

cat <<MSG

cmsd serves the example configuration on 127.0.0.1:25001 (root $root).
Try, in another terminal:
  CMS_PORT=25001 build/cms get hostname
  CMS_PORT=25001 build/cms set hostname my-router && CMS_PORT=25001 build/cms commit
  cat sandbox/mnt/jffs2/conf/user/sysini.conf sandbox/mnt/jffs2/conf/app/hosts
  CMS_ROOT=sandbox build/cms monitor      # message-center events, as they are sent
Device commands the daemon ran are in sandbox/stub_calls.log.

MSG
export PATH="$root/stub_bin:$PATH"
build/cmsd --root "$root" --port 25001 --log-stderr &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" && status=0 || status=$?
done
exit "$status"
