#!/usr/bin/env bash
# Prints the path of the newest CPython >= 3.13 found on this machine, or the
# interpreter named by $PYTHON after checking it. Fails with a clear message.
set -u

version_of() {
    "$1" -c 'import sys, platform; assert platform.python_implementation() == "CPython"; print("%d %d" % sys.version_info[:2])' 2>/dev/null
}

if [ -n "${PYTHON:-}" ]; then
    v=$(version_of "$PYTHON") || { echo "error: PYTHON=$PYTHON is not a working CPython interpreter" >&2; exit 1; }
    set -- $v
    if [ "$1" -lt 3 ] || { [ "$1" -eq 3 ] && [ "$2" -lt 13 ]; }; then
        echo "error: PYTHON=$PYTHON is CPython $1.$2; brindxml needs CPython 3.13 or newer" >&2
        exit 1
    fi
    command -v "$PYTHON" 2>/dev/null || echo "$PYTHON"
    exit 0
fi

candidates=()
for minor in $(seq 30 -1 13); do
    for suffix in "" t; do
        p=$(command -v "python3.$minor$suffix" 2>/dev/null) && candidates+=("$p")
    done
done
for p in python3 python; do
    c=$(command -v "$p" 2>/dev/null) && candidates+=("$c")
done
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    for p in "$root"/versions/*/bin/python3; do [ -x "$p" ] && candidates+=("$p"); done
fi

best="" best_key=0
for p in "${candidates[@]}"; do
    v=$(version_of "$p") || continue
    set -- $v
    key=$(( $1 * 1000 + $2 ))
    if [ "$key" -ge 3013 ] && [ "$key" -gt "$best_key" ]; then
        best="$p" best_key=$key
    fi
done

if [ -z "$best" ]; then
    echo "error: no CPython 3.13 or newer found (looked on PATH and in pyenv's versions)." >&2
    echo "       Install one, or name it with: make PYTHON=/path/to/python3.13 ..." >&2
    exit 1
fi
echo "$best"
