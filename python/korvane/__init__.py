"""korvane: GPU image processing on CuPy arrays, with NumPy arrays accepted too.

Importing the package imports nothing heavy: CuPy is only touched by the
submodules that need it, so ``import korvane`` works on machines without a GPU.
"""
