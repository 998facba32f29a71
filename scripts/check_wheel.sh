#!/usr/bin/env bash
# Checks that the wheel in dist/ (scripts/wheel.sh) stands alone: installed into a
# fresh virtual environment (build/wheel-venv), then
#   1. ldd: every library the two native modules (_tallisk_rs, tallisk._engine) need
#      resolves, and every one that is not part of glibc or the C++ runtime resolves
#      inside the wheel's tallisk.libs/, none from /usr/lib (tbb, roaring and absl
#      among them);
#   2. scripts/smoke.py, run from a directory outside the checkout;
#   3. the same smoke test with the system's libtbb, libroaring and libabsl files made
#      unreachable (an empty file mounted over each, in a private mount namespace), so
#      a module that still needed one could not load it. Needs a mount namespace (root,
#      or unprivileged user namespaces); where there is none, says so and relies on 1.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
root="$PWD"
wheel=(dist/tallisk-*.whl)
[ -f "${wheel[0]}" ] && [ "${#wheel[@]}" -eq 1 ] || { echo "expected one wheel in dist/" >&2; exit 1; }

venv="$root/build/wheel-venv"
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel[0]}"
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
libs="$(realpath "$site/tallisk.libs")"

echo "== ldd of the installed modules"
# What a Python extension may take from the system (the manylinux policy's libraries).
system='^(linux-vdso\.so|ld-linux|libc\.so|libm\.so|libpthread\.so|libdl\.so|librt\.so|libstdc\+\+\.so|libgcc_s\.so)'
status=0
for so in "$site"/_tallisk_rs.*.so "$site"/tallisk/_engine.*.so; do
    echo "-- ${so#"$site"/}"
    bundled=0
    while read -r name arrow path _; do
        [ "$arrow" = "=>" ] || continue
        [ "$path" = "not" ] || path="$(realpath -m "$path")"
        if [ "$path" = "not" ]; then
            echo "   $name: not found"; status=1
        elif [[ "$name" =~ $system ]]; then
            :
        elif [[ "$path" == "$libs"/* ]]; then
            echo "   $name => tallisk.libs/${path#"$libs"/}"; bundled=$((bundled + 1))
        else
            echo "   $name => $path: outside the wheel"; status=1
        fi
    done < <(ldd "$so")
    [ "$bundled" -gt 0 ] || { echo "   nothing resolves inside the wheel"; status=1; }
done
for lib in tbb roaring absl; do
    ls "$libs" | grep -q "^lib$lib" || { echo "tallisk.libs holds no lib$lib"; status=1; }
done
[ "$status" -eq 0 ] || exit 1

echo "== smoke test (from outside the checkout)"
away="$(mktemp -d)"
trap 'rm -rf "$away"' EXIT
cp scripts/smoke.py "$away/"
(cd "$away" && env -u PYTHONPATH -u LD_LIBRARY_PATH "$venv/bin/python" smoke.py)

echo "== smoke test with the system's tbb, roaring and absl libraries unreachable"
hide=()
for f in /usr/lib/*/libtbb*.so* /usr/lib/*/libroaring*.so* /usr/lib/*/libabsl_*.so*; do
    [ -e "$f" ] && [ ! -L "$f" ] && hide+=("$(readlink -f "$f")")
done
script='for f in "$@"; do : > "$TMPDIR/empty"; mount --bind "$TMPDIR/empty" "$f"; done
        cd "$AWAY" && env -u PYTHONPATH -u LD_LIBRARY_PATH "$PY" -c "
import ctypes.util, sys
for name in (\"tbb\", \"roaring\", \"absl_hash\"):
    path = ctypes.util.find_library(name)
    try:
        ctypes.CDLL(path or \"lib%s.so\" % name)
    except OSError:
        continue
    sys.exit(\"the system lib%s still loads\" % name)
print(\"%d system library files hidden; none of them loads\" % (len(sys.argv) - 1))
" "$@" && "$PY" smoke.py'
if ((${#hide[@]} == 0)); then
    echo "no system copy of them to hide: the smoke test above ran without them"
elif unshare --mount true 2>/dev/null; then
    TMPDIR="$away" AWAY="$away" PY="$venv/bin/python" unshare --mount bash -c "$script" bash "${hide[@]}"
elif unshare --user --map-root-user --mount true 2>/dev/null; then
    TMPDIR="$away" AWAY="$away" PY="$venv/bin/python" unshare --user --map-root-user --mount \
        bash -c "$script" bash "${hide[@]}"
else
    echo "no mount namespace available here: the ldd check above is the proof"
fi
