#!/usr/bin/env bash
# Creates the virtual environment `.venv` in the checkout, which every set-up and test command
# installs into, so that no command touches the system's interpreter (a distribution's python3
# refuses `pip install` outside one). What the distribution splits off its python3 and a fresh
# machine may lack (the venv module, the headers to build against, a C++ compiler) comes from
# apt-get, through sudo unless we are root.
#
#   bash tools/venv.sh          create .venv if it is missing or broken, then exit
#   . tools/venv.sh             only define the functions below (for the test scripts)
#
# PYTHON names the interpreter to create it from (default: python3).

# Installs Debian or Ubuntu packages, refreshing the package lists only when needed.
install_debian_packages() {
    if ! command -v apt-get > /dev/null; then
        echo "tools/venv.sh: please install $* with your system's package manager" >&2
        return 1
    fi
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "tools/venv.sh: apt-get install $*" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" > /dev/null ||
        { $sudo apt-get update -q > /dev/null &&
          $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" > /dev/null; }
}

# Makes `.venv` (in the current directory) with pip in it, and what building the module needs.
make_venv() {
    local python=${PYTHON:-python3}
    if ! command -v "$python" > /dev/null; then
        echo "tools/venv.sh: no $python found; tessaron needs Python >= 3.9" >&2
        return 1
    fi
    local version
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    local missing=()
    "$python" -c 'import ensurepip, venv' 2> /dev/null || missing+=("python$version-venv")
    "$python" -c 'import os, sysconfig, sys
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
        missing+=("python$version-dev")
    command -v c++ > /dev/null || command -v g++ > /dev/null || missing+=(g++)
    if [ ${#missing[@]} -gt 0 ]; then install_debian_packages "${missing[@]}" || return 1; fi
    if ! .venv/bin/python -m pip --version > /dev/null 2>&1; then
        # A venv made before the venv module was complete has no pip: make it anew.
        "$python" -m venv --clear .venv || return 1
        .venv/bin/python -m pip install -q --upgrade pip || return 1
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    cd "$(dirname "$0")/.."
    make_venv
fi
