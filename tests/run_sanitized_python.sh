#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer into its own
# build folder and runs the whole Python suite against it, the sanitizer runtimes preloaded into
# the interpreter. Any ASan or UBSan report ends the run with a failure.
#
# Leaks: the interpreter, numpy and the Keras stack keep memory until exit on purpose, so there is
# no leak check at exit. Instead tests/python/test_references_and_memory.py runs each entry point
# thousands of times in a child interpreter and asks LeakSanitizer, while the process is live, for
# every block that nothing points to any more; the count must not grow. Under this script the RSS
# bounds of the memory tests are replaced by that check (ASan's quarantine holds freed memory).
#
# Usage: bash tests/run_sanitized_python.sh [pytest arguments]   (default: tests/python)
# The interpreter is the checkout's .venv (made and given the test dependencies here unless PYTHON
# names another interpreter, as tests/run_all.sh does with the venv it has set up).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${PYTHON:-}" ]; then
    . tools/venv.sh
    make_venv
    .venv/bin/python -m pip install -q -c tests/constraints.txt -r tests/requirements.txt
    PYTHON=.venv/bin/python
    export PATH="$PWD/.venv/bin:$PATH"  # the venv's cmake and ninja
fi
BUILD=${TESSARON_SANITIZED_BUILD:-build/python-sanitize}
export KERAS_BACKEND=${KERAS_BACKEND:-jax}

# The interpreter itself, not a launcher script (pyenv shims are shell scripts, which must not
# run with the runtimes preloaded).
INTERPRETER=$("$PYTHON" -c 'import sys; print(sys.executable)')

runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  if [ ! -f "$path" ]; then
    echo "run_sanitized_python.sh: g++ does not know where $1 is (got '$path')" >&2
    exit 1
  fi
  echo "$path"
}
ASAN_RUNTIME=$(runtime libasan.so)
UBSAN_RUNTIME=$(runtime libubsan.so)

cmake -S . -B "$BUILD" -DPython_EXECUTABLE="$INTERPRETER" -DTESSARON_SANITIZE=ON \
  -DTESSARON_BUILD_MODULE=ON -DTESSARON_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$BUILD" --parallel "$(nproc)"

MODULE_DIR="$PWD/$BUILD/python"
export PYTHONPATH="$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$ASAN_RUNTIME $UBSAN_RUNTIME"
# Every Python object a malloc block of its own, so that ASan sees use after free and overflows
# of objects, not just of the module's own memory.
export PYTHONMALLOC=malloc
# allocator_may_return_null: an impossible allocation is std::bad_alloc (MemoryError), as without
# the sanitizer. detect_leaks with leak_check_at_exit=0: LeakSanitizer answers the leak test's
# questions while the process runs, and stays silent at exit.
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# Tests that cannot run under the sanitizers skip themselves, saying why.
export TESSARON_SANITIZED=1

# The sanitized build must be the module under test, not an installed one.
"$INTERPRETER" -c "
import sys, tessaron
if not tessaron.__file__.startswith(sys.argv[1]):
    sys.exit('the sanitized module is not the one imported: ' + tessaron.__file__)
" "$MODULE_DIR"

if [ $# -eq 0 ]; then set -- tests/python; fi
exec "$INTERPRETER" -m pytest -q -p no:cacheprovider "$@"
