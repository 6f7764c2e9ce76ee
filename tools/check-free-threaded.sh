#!/usr/bin/env bash
# Compiles every source against the CPython 3.14 headers as a free-threaded
# build sees them (Py_GIL_DISABLED defined), warnings as errors, links the
# module, and fails if it imports a private _Py* symbol other than those the
# interpreter's own inline functions and macros reach.
#
# The interpreter: $PYTHON314, else $PYTHON when it is 3.14, else python3.14t
# or python3.14 on PATH, else pyenv's 3.14. Without one it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."

is_314() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))' 2>/dev/null; }

py=""
for candidate in "${PYTHON314:-}" "${PYTHON:-}" "$(command -v python3.14t || true)" "$(command -v python3.14 || true)"; do
    if [ -n "$candidate" ] && is_314 "$candidate"; then py=$candidate; break; fi
done
if [ -z "$py" ] && command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.14*/bin/python3; do
        if [ -x "$candidate" ] && is_314 "$candidate"; then py=$candidate; break; fi
    done
fi
if [ -z "$py" ]; then
    echo "check-free-threaded: SKIPPED: no CPython 3.14 found (name one with PYTHON314=/path/to/python3.14)"
    exit 0
fi

include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
platinclude=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platinclude"])')
if [ ! -f "$include/Python.h" ]; then
    echo "check-free-threaded: FAILED: $py has no headers ($include/Python.h is missing)"
    exit 1
fi
echo "check-free-threaded: CPython $("$py" -c 'import platform; print(platform.python_version())') headers in $include, Py_GIL_DISABLED defined"

out=build/check-free-threaded
rm -rf "$out" && mkdir -p "$out"
# The package version, as CMakeLists.txt passes it on from pyproject.toml.
version=$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml | head -n 1)
flags=(-std=c++20 -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Werror
       -DPy_GIL_DISABLED=1 "-DBRINDXML_VERSION=\"$version\"" -Isrc -isystem "$include" -isystem "$platinclude")
mapfile -t sources < <(find src -name '*.cpp' | sort)
printf '%s\n' "${sources[@]}" |
    xargs -P "${JOBS:-2}" -I{} sh -c 'g++ "$@" -c {} -o '"$out"'/$(echo {} | tr / _).o' _ "${flags[@]}"
g++ -shared -o "$out/brindxml.so" "$out"/*.o

# Private symbols that the 3.14 headers' inline functions and macros call in
# every free-threaded extension (reference counting, the singletons); our
# own code must call nothing else whose name starts with _Py.
allowed=(
    _Py_Dealloc
    _Py_DecRefShared
    _Py_MergeZeroLocalRefcount
    _Py_NoneStruct
    _Py_TrueStruct
    _Py_FalseStruct
    _Py_NotImplementedStruct
)
private=$(nm -D --undefined-only "$out/brindxml.so" | awk '{print $NF}' | sed 's/@.*//' | grep '^_Py' | sort -u || true)
unexpected=$(comm -23 <(printf '%s\n' $private | sed '/^$/d') <(printf '%s\n' "${allowed[@]}" | sort -u))
if [ -n "$unexpected" ]; then
    echo "check-free-threaded: FAILED: the module calls private interpreter functions:"
    printf '    %s\n' $unexpected
    exit 1
fi
echo "check-free-threaded: passed (${#sources[@]} sources; private symbols reached only through the headers: $(echo $private))"
