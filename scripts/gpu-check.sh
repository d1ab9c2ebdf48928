#!/usr/bin/env bash
# Build korvane with this machine's Python, run the whole suite against real CuPy and ONNX
# Runtime's CUDA provider, then benchmarks/gpu.py (host time, GPU time and bandwidth of every
# function), benchmarks/models.py's CUDA part (a real-sized network in float16 through the engine
# and its host copies per batch) and, where dask-cuda is installed, the Dask road with one worker
# per GPU.
#
# Meant for a machine with an NVIDIA GPU (often without network access); without one it exits
# with status 2. Test tools, onnx, onnxruntime-gpu and (where the machine has none) CuPy come
# from the machine, or from a wheel folder made beforehand with scripts/gpu-wheels.sh and
# carried along (WHEELHOUSE, default ./wheelhouse). The build uses pip + scikit-build-core when
# available, else CMake, else the compiler directly, so that a bare machine can still run the
# check. It fails where the suite's environment lacks CuPy with a device, onnx or ONNX Runtime's
# CUDA provider, and where the suite skips a test that needs the GPU.
set -uo pipefail
cd "$(dirname "$0")/.."

PY="${PYTHON:-python3}"
WHEELHOUSE="${WHEELHOUSE:-wheelhouse}"
STAGE="build/gpu-stage"
LOG_DIR="${OUT:-build/gpu-check}"
mkdir -p "$LOG_DIR"

say() { printf '== %s\n' "$*"; }

say "python: $("$PY" -c 'import sys; print(sys.version.split()[0])')"
if ! nvidia-smi -L >/dev/null 2>&1 && ! compgen -G '/dev/nvidia[0-9]*' >/dev/null; then
  say "no NVIDIA GPU here: nothing to check"; exit 2
fi
nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader 2>/dev/null | sed 's/^/== gpu: /'

# The suite's environment. A virtual environment made from one that is itself a virtual
# environment sees the base interpreter's packages, not that one's: such a Python runs as it is.
if "$PY" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  VPY="$PY"
  say "environment: $("$PY" -c 'import sys; print(sys.prefix)'), the interpreter's own"
else
  "$PY" -m venv --system-site-packages .venv-gpu || exit 1
  VPY=.venv-gpu/bin/python
  say "environment: .venv-gpu, which sees the machine's packages"
fi
if [[ -d "$WHEELHOUSE" ]]; then
  # One at a time: an older wheelhouse that lacks one of them still gives the others.
  for pair in pytest:pytest hypothesis:hypothesis packaging:packaging scikit-build-core:scikit_build_core \
              tqdm:tqdm pillow:PIL onnx:onnx torch:torch spandrel:spandrel safetensors:safetensors; do
    $VPY -m pip install -q --no-index --find-links "$WHEELHOUSE" "${pair%%:*}" >/dev/null 2>&1 \
      || $VPY -c "import ${pair##*:}" 2>/dev/null \
      || say "${pair%%:*}: not in $WHEELHOUSE nor on this machine"
  done
  # ONNX Runtime's GPU build, and CuPy where the machine has none (a second CuPy package would
  # overwrite the first one's files), each with the nvidia-* wheels of its CUDA libraries.
  wanted="$WHEELHOUSE/gpu-requirements.txt"
  if [[ -f "$wanted" ]]; then
    grep -v '^cupy' "$wanted" >"$LOG_DIR/gpu-requirements.txt"
    $VPY -c 'import cupy' 2>/dev/null || grep '^cupy' "$wanted" >>"$LOG_DIR/gpu-requirements.txt"
    $VPY -m pip install -q --no-index --find-links "$WHEELHOUSE" -r "$LOG_DIR/gpu-requirements.txt" \
      >"$LOG_DIR/gpu-wheels.log" 2>&1 || { say "the GPU wheels did not install:"; tail -5 "$LOG_DIR/gpu-wheels.log"; }
  else
    say "$wanted is missing (a wheelhouse from before CUDA_MAJOR): ONNX Runtime and CuPy as the machine has them"
  fi
fi
$VPY -c 'import pytest' 2>/dev/null || { say "pytest is missing: carry a wheelhouse (scripts/gpu-wheels.sh)"; exit 1; }
# What the GPU tests need, checked where they run: without it they would skip, or run on a stand-in.
$VPY - <<'EOF' || { say "the suite's environment cannot run the GPU tests"; exit 1; }
import sys

try:
    import cupy

    assert float((cupy.arange(4, dtype=cupy.float32) * 2).sum()) == 12.0
    name = cupy.cuda.runtime.getDeviceProperties(cupy.cuda.Device().id)["name"].decode()
    print(f"== cupy {cupy.__version__} on {name}; the driver runs CUDA {cupy.cuda.runtime.driverGetVersion()}")
except Exception as exc:
    sys.exit(f"== no CuPy with a device array here: {type(exc).__name__}: {exc}")
try:
    import onnx
    import onnxruntime
except ImportError as exc:
    sys.exit(f"== {exc} (carry a wheelhouse: scripts/gpu-wheels.sh)")
print(f"== onnx {onnx.__version__}; onnxruntime {onnxruntime.__version__}: {onnxruntime.get_available_providers()}")
if "CUDAExecutionProvider" not in onnxruntime.get_available_providers():
    sys.exit("== this ONNX Runtime has no CUDA provider: onnxruntime-gpu alone is needed, not the CPU build")
EOF

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
rm -f "$LOG_DIR/junit.xml"
PYTHONPATH="$PYTHONPATH_EXTRA" $VPY -m pytest -p no:cacheprovider -rs --junitxml="$LOG_DIR/junit.xml" 2>&1 \
  | tee "$LOG_DIR/pytest.log" | tail -40
status=${PIPESTATUS[0]}
grep -m1 '^korvane array backend' "$LOG_DIR/pytest.log" | sed 's/^/== /'
grep -q '^korvane array backend: CuPy' "$LOG_DIR/pytest.log" || { say "the suite did not run on CuPy"; status=1; }
# A GPU test skipped here hides a broken set-up; the skip reasons of GPU tests say so.
skipped=$($VPY - "$LOG_DIR/junit.xml" <<'EOF'
import re
import sys
import xml.etree.ElementTree as ET

# Pillow, onnx and ONNX Runtime: test_cli.py and test_onnx_model.py hold the CUDA provider's tests.
gpu = re.compile(r"needs a GPU|usable GPU|no usable CuPy|could not import '(onnx|PIL)")
for case in ET.parse(sys.argv[1]).iter("testcase"):
    for skip in case.iter("skipped"):
        reason = " ".join(f"{skip.get('message', '')} {skip.text or ''}".split())  # a module's: in the text
        if gpu.search(reason):
            print(f"{case.get('classname') or '(collection)'}.{case.get('name')}: {' '.join((skip.text or '').split())}")
EOF
) || { say "no readable $LOG_DIR/junit.xml"; status=1; }
if [[ -n $skipped ]]; then
  say "$(wc -l <<<"$skipped") GPU tests skipped on a machine with a GPU (all in $LOG_DIR/gpu-skips.txt):"
  printf '%s\n' "$skipped" >"$LOG_DIR/gpu-skips.txt"; head -20 "$LOG_DIR/gpu-skips.txt" | sed 's/^/   /'; status=1
fi
say "summary: $(tail -1 "$LOG_DIR/pytest.log")"

say "benchmarks/gpu.py"
PYTHONPATH="$PYTHONPATH_EXTRA" $VPY benchmarks/gpu.py --require-gpu 2>&1 | tee "$LOG_DIR/gpu-benchmark.log" | tail -40
bench=${PIPESTATUS[0]}
[[ $bench == 0 ]] || say "benchmark failed (exit $bench)"

# A real-sized PyTorch network on CUDA in float16 through the engine, beside a hand loop (and
# MONAI where installed), with the host copies per batch.
if $VPY -c 'import torch, spandrel, sys; sys.exit(not torch.cuda.is_available())' 2>/dev/null; then
  say "benchmarks/models.py --parts g"
  PYTHONPATH="$PYTHONPATH_EXTRA" $VPY benchmarks/models.py --parts g 2>&1 | tee "$LOG_DIR/models-benchmark.log" | tail -30
  [[ ${PIPESTATUS[0]} == 0 ]] || { say "models benchmark failed"; bench=1; }
else
  say "torch with CUDA and spandrel are not here: benchmarks/models.py --parts g skipped"
fi
# One worker per GPU with dask-cuda, where the machine has it: the Dask road on CuPy blocks.
if $VPY -c 'import dask_cuda, distributed' 2>/dev/null; then
  say "the Dask road on LocalCUDACluster"
  PYTHONPATH="$PYTHONPATH_EXTRA" $VPY - <<'EOF' 2>&1 | tee "$LOG_DIR/dask-cuda.log" | tail -5
import cupy
import dask.array as da
from dask.distributed import Client
from dask_cuda import LocalCUDACluster

from korvane.upscale import dask as tiled_dask, upscale_tiled


def nearest2x(batch):
    return batch.repeat(2, axis=2).repeat(2, axis=3)


picture = cupy.random.default_rng(0).random((1000, 800, 3), dtype=cupy.float32)
with LocalCUDACluster(threads_per_worker=1) as cluster, Client(cluster):
    lazy = tiled_dask.upscale_tiled(da.from_array(picture, chunks=(256, 256, 3)), nearest2x, tile_size=128)
    same = bool((lazy.compute() == upscale_tiled(picture, nearest2x, tile_size=128)).all())
    print(f"== {len(cluster.workers)} GPU workers: equal to one call bit for bit: {same}")
assert same
EOF
  [[ ${PIPESTATUS[0]} == 0 ]] || { say "the Dask road on LocalCUDACluster failed"; bench=1; }
else
  say "dask-cuda is not here: the LocalCUDACluster check skipped"
fi
[[ $status != 0 ]] && exit "$status"
exit "$bench"
