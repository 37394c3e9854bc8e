# Shared by scripts/check and scripts/demo: install what is missing from Debian's packages.
# Usage: ensure_packages pkg...   (as root: apt-get install; otherwise print the line and stop)
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local line="apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them as root with:" >&2
    echo "  $line" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
    apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# The packages every build needs.
BASE_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  libusb-1.0-0-dev nlohmann-json3-dev sdcc sdcc-ucsim)

jobs() { nproc 2>/dev/null || echo 2; }
