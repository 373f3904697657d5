# Debian packages the suite needs, and a helper that installs the missing ones.
# Sourced by the other scripts.
TROVIX_BUILD_PACKAGES=(build-essential cmake pkg-config libsqlite3-dev sqlite3 qt6-base-dev libxml2-dev
  libpoppler-cpp-dev libzip-dev libicu-dev)
TROVIX_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev libcairo2-dev poppler-utils
  man-db groff-base systemd dpkg-dev dbus libglib2.0-bin unicode-data desktop-file-utils appstream
  gnome-shell)

# trovix_install_packages PACKAGE... — installs those not installed yet.
trovix_install_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing Debian packages: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
