# Finds the device simulator (a Linux program) for the Windows program's tests; sourced.
# Order: $ZQ418_SIM; the linux preset's build; else that target is built there (the
# simulator is a native program, the MinGW build has none).
find_sim() {
    local src
    src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    if [ -n "${ZQ418_SIM:-}" ]; then
        [ -x "$ZQ418_SIM" ] && { echo "$ZQ418_SIM"; return 0; }
        echo "ZQ418_SIM=$ZQ418_SIM is not executable" >&2
        return 1
    fi
    local sim="$src/build/linux/sim/zq418-sim"
    if [ ! -x "$sim" ]; then
        echo "building zq418-sim in build/linux" >&2
        (cd "$src" && cmake --preset linux >/dev/null && cmake --build build/linux --target zq418-sim -j2 >&2) ||
            return 1
    fi
    [ -x "$sim" ] && echo "$sim"
}
