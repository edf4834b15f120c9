# Shared by the scripts: where things are built and who runs the tests.
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
test_user=morphex-test

# The build tree must be reachable by the unprivileged test user; a checkout
# under a private home (as root's is) is built under /var/tmp instead.
build_root() {
    if [ -n "${MORPHEX_BUILD_DIR:-}" ]; then
        echo "$MORPHEX_BUILD_DIR"
    elif [ "$(id -u)" -ne 0 ] || runuser -u "$test_user" -- test -r "$repo/CMakeLists.txt" 2>/dev/null; then
        echo "$repo/build"
    else
        echo "/var/tmp/morphex-build/$(echo "$repo" | md5sum | cut -c1-12)"
    fi
}

wineserver_bin() {
    command -v wineserver 2>/dev/null || ls /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver 2>/dev/null | head -n 1
}

# Starts an Xvfb display of its own; sets DISPLAY and xvfb_pid.
start_xvfb() {
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -ac >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && return 0; sleep 0.1; done
    echo "Xvfb did not start" >&2
    return 1
}

# The files of a user's copy of Morphex, as a build's bin/ holds them: the
# program, its support library, every shipped plug-in (test plug-ins are
# built elsewhere), the help and, where it is built, the console converter.
# The folder start.sh runs in and both packages hold exactly these.
# Prints their paths, one a line; fails when a part that every copy needs is
# missing.
user_files() {
    local bin=$1 name
    for name in morphex.exe ravel.dll morphex.chm morphex.hlp morphex.cnt; do
        [ -f "$bin/$name" ] || { echo "$bin/$name is missing: build first" >&2; return 1; }
        echo "$bin/$name"
    done
    [ ! -f "$bin/mxconv.exe" ] || echo "$bin/mxconv.exe"
    compgen -G "$bin/cnv*.dll" >/dev/null || { echo "no plug-in cnv*.dll in $bin" >&2; return 1; }
    printf '%s\n' "$bin"/cnv*.dll
}

# Copies the user's files from a build's bin/ into a folder.
copy_user_files() {
    local bin=$1 dest=$2 files
    files=$(user_files "$bin") || return 1
    mkdir -p "$dest"
    # shellcheck disable=SC2086  # the names hold no blanks
    cp $files "$dest"/
}

# Installs the Debian packages named that are missing.
ensure_packages() {
    local missing=() p sudo=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

# Wine's 64-bit loader itself: the wine wrapper would first ask for the
# 32-bit Wine that a 64-bit program does not need.
wine64_bin() {
    command -v wine64 2>/dev/null || ls /usr/lib/wine/wine64 2>/dev/null
}

# A quiet Wine in a prefix of its own: no debug output, no Mono or Gecko
# install prompt, no menu entries on the user's desktop, no debugger.
use_wine_prefix() {
    export WINEPREFIX=$1 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
    export WINE
    WINE=$(wine64_bin)
}

# Creates the prefix of use_wine_prefix when it is not complete (a creation
# that was cut short is made again).
prepare_wine_prefix() {
    local ready="$WINEPREFIX/.morphex-ready"
    [ -e "$ready" ] && return 0
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1 && "$(wineserver_bin)" -w && touch "$ready"
}
