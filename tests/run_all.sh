#!/usr/bin/env bash
# Installs what the tests need, then runs every test. Run from anywhere: bash tests/run_all.sh
#
# Everything Python goes into the checkout's .venv (tools/venv.sh makes it), pinned by
# tests/constraints.txt; GoogleTest and clang come from Debian's packages when missing. Then: the
# format check, the C++ unit tests built with g++ (plain, and under AddressSanitizer and UBSan),
# the threaded ones under ThreadSanitizer, and with clang (under both sanitizers) in the build
# that also makes the fuzz targets, with a short run of each (clang's libFuzzer) on its corpus;
# the Python suite against the installed module, the documentation, and the Python suite again
# against a sanitized build of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/venv.sh
export KERAS_BACKEND=${KERAS_BACKEND:-jax}

# Wall time, and processor time of the finished children (on a shared machine the better measure).
step() {
    local cpu
    cpu=$(awk '{printf "%.0f", ($16 + $17) / 100}' /proc/$$/stat 2> /dev/null || echo "?")
    echo "==> $* (at ${SECONDS}s, ${cpu}s of processor time)"
}

step "system packages"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang++ > /dev/null || missing+=(clang)
if [ ${#missing[@]} -gt 0 ]; then install_debian_packages "${missing[@]}"; fi
# libFuzzer comes with clang's runtime libraries, a package of their own on Debian.
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
        clang++ -fsanitize=fuzzer -x c++ - -o /dev/null 2> /dev/null; then
    install_debian_packages "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi

step "Python packages into .venv"
make_venv
export PATH="$PWD/.venv/bin:$PATH"  # cmake, ninja, clang-format and sphinx-build of the venv
PYTHON="$PWD/.venv/bin/python"
export PYTHON
"$PYTHON" -m pip install -q -c tests/constraints.txt -r tests/requirements.txt
"$PYTHON" -m pip install -q --no-build-isolation -c tests/constraints.txt .

step "format"
# A format difference fails the run at the end, after every test has had its say.
format_ok=true
bash tests/check_format.sh || format_ok=false

# Build folders of their own (Ninja): the sanitized one makes the module too, which the sanitized
# Python run below reuses.
for variant in plain sanitize; do
    step "C++ unit tests: $variant"
    flags=(-G Ninja -DTESSARON_BUILD_TESTS=ON -DTESSARON_BUILD_MODULE=OFF)
    [ "$variant" = sanitize ] && flags+=(-DTESSARON_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
                                         -DTESSARON_BUILD_MODULE=ON -DPython_EXECUTABLE="$PYTHON")
    cmake -S . -B "build/ci-$variant" "${flags[@]}" > /dev/null
    cmake --build "build/ci-$variant" --parallel "$(nproc)"
    ctest --test-dir "build/ci-$variant" --output-on-failure --parallel "$(nproc)"
done

step "C++ unit tests: tsan"
# ThreadSanitizer on the tests that run the core on several threads at once: two evolutions side
# by side, the seeded scopes and the worker pool.
cmake -S . -B build/ci-tsan -G Ninja -DTESSARON_BUILD_TESTS=ON -DTESSARON_BUILD_MODULE=OFF \
    -DTESSARON_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/ci-tsan --parallel "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 build/ci-tsan/tessaron_unit_tests \
    --gtest_filter='EverySearch/RunLoop.*:SeededScope.*:Threads/*'

step "C++ unit tests: clang, and the fuzz targets"
# One clang build (AddressSanitizer and UBSan, the core instrumented for libFuzzer) makes both
# the unit tests and the fuzz targets. Each reader of outside data gets a fixed number of inputs
# grown from its corpus; what the run adds goes to a scratch folder, never into the corpus in
# the repository, and an input that fails a check is kept as build/ci-fuzz/crash-*.
cmake -S . -B build/ci-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTESSARON_FUZZ=ON \
    -DTESSARON_BUILD_TESTS=ON -DTESSARON_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    > /dev/null
cmake --build build/ci-fuzz --parallel "$(nproc)"
ctest --test-dir build/ci-fuzz --output-on-failure --parallel "$(nproc)"
for target in model_file pickle_state keras_plan sample_layout; do
    rm -rf "build/ci-fuzz/grown-$target" && mkdir "build/ci-fuzz/grown-$target"
    if ! "build/ci-fuzz/fuzz_$target" -runs="${TESSARON_FUZZ_RUNS:-20000}" \
            -artifact_prefix=build/ci-fuzz/ "build/ci-fuzz/grown-$target" \
            "tests/fuzz/corpus/$target" > "build/ci-fuzz/$target.log" 2>&1; then
        tail -40 "build/ci-fuzz/$target.log"
        exit 1
    fi
    echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "build/ci-fuzz/$target.log")"
done

# The Python suites run on a worker process per CPU (pytest-xdist); a worker that a sanitizer
# ends fails the run.
step "Python suite"
"$PYTHON" -m pytest -q -p no:cacheprovider -n "$(nproc)" tests/python

step "documentation"
# -W: a warning (a docstring the reference cannot render, a broken cross-reference) fails.
sphinx-build -q -W --keep-going -b html -d build/docs/doctrees docs build/docs/html

step "Python suite against the sanitized module"
TESSARON_SANITIZED_BUILD=build/ci-sanitize bash tests/run_sanitized_python.sh -n "$(nproc)" tests/python

step "done"
if [ "$format_ok" != true ]; then
    echo "run_all.sh: the tests passed, but the format check failed (see its report above)" >&2
    exit 1
fi
