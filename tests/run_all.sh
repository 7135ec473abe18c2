#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ unit tests (plain, and under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python suite against the installed
# module. Run from anywhere: bash tests/run_all.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export KERAS_BACKEND=${KERAS_BACKEND:-jax}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get install -y libgtest-dev || { $SUDO apt-get update && $SUDO apt-get install -y libgtest-dev; }
fi
"$PYTHON" -m pip install -r tests/requirements.txt
"$PYTHON" -m pip install .

for variant in plain sanitize; do
  flags=(-DTESSARON_BUILD_TESTS=ON -DTESSARON_BUILD_MODULE=OFF)
  [ "$variant" = sanitize ] && flags+=(-DTESSARON_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  cmake -S . -B "build/tests-$variant" "${flags[@]}" > /dev/null
  cmake --build "build/tests-$variant" --parallel
  ctest --test-dir "build/tests-$variant" --output-on-failure --parallel 2
done

# From the tests folder, so that `import tessaron` finds the installed module.
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python

# The whole Python suite again, against a module built with AddressSanitizer and UBSan.
bash tests/run_sanitized_python.sh
