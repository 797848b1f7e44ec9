# packages.sh - sourced by the scripts: installs missing Debian packages.

# ensure_packages PKG... installs those of the packages that are not
# installed yet (apt-get update first), as root or through sudo.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != "installed" ]; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages (${missing[*]}); run as root or install sudo." >&2
      return 1
    fi
    as_root=(sudo)
  fi
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# Packages every build needs.
BUILD_PACKAGES=(build-essential cmake pkg-config libevent-dev libsodium-dev libgtest-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev scdoc)
