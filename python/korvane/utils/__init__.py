"""Small helpers shared across korvane (dtype conversion, image dimensions).

The native ``dimention`` extension is installed into this package by the build;
it is not imported here so the package stays importable without it.
"""
