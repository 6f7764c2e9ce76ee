#!/usr/bin/env bash
# Puts cmake, ctest and ninja into a virtual environment's program folder:
# links to the ones this machine already has when they are recent enough (no
# download, some 100 MB less in the environment), else installs them from PyPI.
# Usage: tools/build-tools.sh ENV_PYTHON ENV_BIN_DIR
# BRINDXML_PIP_BUILD_TOOLS=1 always installs them from PyPI.
set -eu

python=$1
bin=$2
cmake_minimum=3.21  # cmake_minimum_required in CMakeLists.txt

# The real path of a program on PATH; pyenv's shims are resolved to the program
# they stand for, so the link keeps working whatever pyenv version is selected.
real_path() {
    local path
    path=$(command -v "$1" 2>/dev/null) || return 1
    if command -v pyenv >/dev/null 2>&1 && [[ $path == "$(pyenv root)/shims/"* ]]; then
        path=$(pyenv which "$1" 2>/dev/null) || return 1
    fi
    echo "$path"
}

version_at_least() {  # version_at_least HAVE NEED: compares the leading numbers
    "$python" -c 'import re, sys
have, need = ([int(n) for n in re.findall(r"\d+", v)[:3]] for v in sys.argv[1:])
sys.exit(0 if have >= need else 1)' "$1" "$2"
}

use_system=yes
case "${OS:-}" in Windows_NT) use_system=no ;; esac  # links need privileges there
[ "${BRINDXML_PIP_BUILD_TOOLS:-0}" = 1 ] && use_system=no

# CMake tells where it is and its version itself (older releases cannot read a script from a pipe).
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
echo 'message("${CMAKE_COMMAND}|${CMAKE_CTEST_COMMAND}|${CMAKE_VERSION}")' > "$probe"

wheels=()
if [ $use_system = yes ] && cmake=$(real_path cmake) && found=$("$cmake" -P "$probe" 2>&1) \
    && IFS='|' read -r cmake_path ctest_path cmake_version <<< "$found" \
    && [ -x "$cmake_path" ] && [ -x "$ctest_path" ] && version_at_least "$cmake_version" $cmake_minimum; then
    ln -sf "$cmake_path" "$bin/cmake"
    ln -sf "$ctest_path" "$bin/ctest"
    echo "using this machine's cmake $cmake_version ($cmake_path)"
else
    wheels+=(cmake)
fi
if [ $use_system = yes ] && ninja=$(real_path ninja) && ninja_version=$("$ninja" --version 2>/dev/null); then
    ln -sf "$ninja" "$bin/ninja"
    echo "using this machine's ninja $ninja_version ($ninja)"
else
    wheels+=(ninja)
fi
if [ ${#wheels[@]} -gt 0 ]; then
    echo "installing from PyPI: ${wheels[*]}"
    "$python" -m pip install --quiet "${wheels[@]}"
fi
