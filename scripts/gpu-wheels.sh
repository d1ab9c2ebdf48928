#!/usr/bin/env bash
# Download the test tools as wheels into ./wheelhouse for a GPU machine without network
# access (carry the folder along and run scripts/gpu-check.sh there).
# PYVER is the GPU machine's Python version (3.12 by default); CUDA_MAJOR (12 or 13, 12 by
# default) the CUDA major version its driver runs: it picks ONNX Runtime's GPU build (up to
# 1.26 for CUDA 12, from 1.27 for CUDA 13) and CuPy's, each with the nvidia-* wheels of its
# CUDA libraries (several GB), so that the CUDA provider's tests run there too.
set -euo pipefail
cd "$(dirname "$0")/.."
PYVER="${PYVER:-3.12}"
CUDA_MAJOR="${CUDA_MAJOR:-12}"
case "$CUDA_MAJOR" in
  12) runtime='onnxruntime-gpu[cuda,cudnn]>=1.21,<1.27' ;;
  13) runtime='onnxruntime-gpu[cuda,cudnn]>=1.27' ;;
  *) echo "gpu-wheels: CUDA_MAJOR must be 12 or 13, got '$CUDA_MAJOR'" >&2; exit 2 ;;
esac
# ONNX Runtime's wheels are manylinux_2_28, the nvidia-* ones 2_17 to 2_27: all are asked for.
python3 -m pip download -q -d wheelhouse --only-binary=:all: --python-version "$PYVER" \
  --platform manylinux2014_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux_2_27_x86_64 \
  --platform manylinux_2_28_x86_64 --platform any \
  pytest hypothesis packaging scikit-build-core tqdm pillow onnx "$runtime" "cupy-cuda${CUDA_MAJOR}x[ctk]>=14"
# The PyTorch path (TorchModel through DLPack): torch's index build with its CUDA wheels, a few GB.
if [[ "${TORCH:-1}" == 1 ]]; then
  python3 -m pip download -q -d wheelhouse --only-binary=:all: --python-version "$PYVER" \
    --platform manylinux2014_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux_2_27_x86_64 \
    --platform manylinux_2_28_x86_64 --platform any torch spandrel safetensors
fi
# What gpu-check.sh installs from here: the GPU packages of this major version, not another's.
printf '%s\n' "$runtime" "cupy-cuda${CUDA_MAJOR}x[ctk]>=14" > wheelhouse/gpu-requirements.txt
ls wheelhouse
