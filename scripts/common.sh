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
