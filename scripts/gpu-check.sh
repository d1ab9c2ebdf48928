#!/usr/bin/env bash
# Build korvane with this machine's Python, run the whole suite against real CuPy, then
# benchmarks/gpu.py (host time, GPU time and bandwidth of every function).
#
# Meant for a machine with an NVIDIA GPU and CuPy installed (often without network
# access). Test tools come from the machine, or from a wheel folder made beforehand
# with scripts/gpu-wheels.sh and carried along (WHEELHOUSE, default ./wheelhouse).
# The build uses pip + scikit-build-core when available, else CMake, else the compiler
# directly, so that a bare machine can still run the check.
set -uo pipefail
cd "$(dirname "$0")/.."

PY="${PYTHON:-python3}"
WHEELHOUSE="${WHEELHOUSE:-wheelhouse}"
STAGE="build/gpu-stage"
LOG_DIR="${OUT:-build/gpu-check}"
mkdir -p "$LOG_DIR"

say() { printf '== %s\n' "$*"; }

say "python: $("$PY" -c 'import sys; print(sys.version.split()[0])')"
if ! "$PY" -c 'import cupy, sys; sys.exit(0 if cupy.is_available() else 1)' 2>/dev/null; then
  say "no usable CuPy/GPU here: nothing to check"; exit 2
fi
"$PY" -c 'import cupy; d = cupy.cuda.runtime.getDeviceProperties(0); print("== cupy", cupy.__version__, "on", d["name"].decode())'
nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader 2>/dev/null | sed 's/^/== gpu: /'

# A virtual environment that sees the machine's CuPy and NumPy.
"$PY" -m venv --system-site-packages .venv-gpu || exit 1
VPY=.venv-gpu/bin/python
if [[ -d "$WHEELHOUSE" ]]; then
  # One at a time: an older wheelhouse that lacks one of them still gives the others.
  for pair in pytest:pytest hypothesis:hypothesis packaging:packaging scikit-build-core:scikit_build_core \
              tqdm:tqdm pillow:PIL; do
    $VPY -m pip install -q --no-index --find-links "$WHEELHOUSE" "${pair%%:*}" >/dev/null 2>&1 \
      || $VPY -c "import ${pair##*:}" 2>/dev/null \
      || say "${pair%%:*}: not in $WHEELHOUSE nor on this machine"
  done
fi
$VPY -c 'import pytest' 2>/dev/null || { say "pytest is missing: carry a wheelhouse (scripts/gpu-wheels.sh)"; exit 1; }

build_ok=0
if $VPY -c 'import scikit_build_core' 2>/dev/null && command -v cmake >/dev/null; then
  say "build: pip install --no-build-isolation ."
  $VPY -m pip install -q --no-build-isolation --no-deps . >"$LOG_DIR/build.log" 2>&1 && build_ok=1
fi
PYTHONPATH_EXTRA=""
if [[ $build_ok == 0 ]]; then
  say "build: compiler directly into $STAGE"
  rm -rf "$STAGE" && mkdir -p "$STAGE" && cp -r python/korvane "$STAGE/"
  suffix=$($VPY -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  include=$($VPY -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  cxx=${CXX:-g++}
  ok=1
  for pair in utils/dimention upscale/tile; do
    src="src/korvane_source/$pair.cpp"
    [[ -f "$src" ]] || continue
    $cxx -O2 -std=c++17 -shared -fPIC -fvisibility=hidden -I"$include" src/module_foundation/*.cpp "$src" \
      -o "$STAGE/korvane/$pair$suffix" >>"$LOG_DIR/build.log" 2>&1 || ok=0
  done
  [[ $ok == 1 ]] || { say "build failed:"; tail -30 "$LOG_DIR/build.log"; exit 1; }
  PYTHONPATH_EXTRA="$PWD/$STAGE"
fi

# Without KORVANE_BACKEND: a value left in the environment would put a CPU stand-in in
# CuPy's place (conftest takes real CuPy only when no backend is named). Not -q: the
# header line that names the backend is checked below.
unset KORVANE_BACKEND
say "suite against real CuPy"
PYTHONPATH="$PYTHONPATH_EXTRA" $VPY -m pytest -p no:cacheprovider -rs --junitxml="$LOG_DIR/junit.xml" 2>&1 \
  | tee "$LOG_DIR/pytest.log" | tail -40
status=${PIPESTATUS[0]}
grep -m1 '^korvane array backend' "$LOG_DIR/pytest.log" | sed 's/^/== /'
grep -q '^korvane array backend: CuPy' "$LOG_DIR/pytest.log" || { say "the suite did not run on CuPy"; status=1; }
say "summary: $(tail -1 "$LOG_DIR/pytest.log")"

say "benchmarks/gpu.py"
PYTHONPATH="$PYTHONPATH_EXTRA" $VPY benchmarks/gpu.py 2>&1 | tee "$LOG_DIR/gpu-benchmark.log" | tail -40
bench=${PIPESTATUS[0]}
[[ $bench == 0 ]] || say "benchmark failed (exit $bench)"
[[ $status != 0 ]] && exit "$status"
exit "$bench"
