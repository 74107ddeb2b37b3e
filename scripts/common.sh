# Shared by the build scripts: installs the Debian packages the project needs.
# Sourced, not run.

VELLUMARK_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev libxkbcommon-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev zlib1g-dev libisal-dev libb2-dev
  xvfb xauth openbox xdotool x11-utils
  desktop-file-utils appstream groff-base file dpkg-dev
  rhash lintian devscripts xdg-utils libglib2.0-bin libgtk-3-bin xclip python3-gi gir1.2-glib-2.0 hyperfine b3sum
  # The file managers' modules, and the file managers that their tests drive
  # under Xvfb through the accessibility bus
  libnautilus-extension-dev libthunarx-3-dev libcaja-extension-dev
  nautilus thunar caja caja-actions dbus-daemon at-spi2-core gir1.2-atspi-2.0
  # The shells whose completions are tested
  bash-completion zsh fish
)

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${VELLUMARK_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "Missing Debian packages. Run as root:"
    echo "  apt-get install -y ${missing[*]}"
    exit 1
  fi
}
