"""Image upscaling.

The native ``tile`` extension is installed into this package by the build; it is
not imported here so the package stays importable without it.
"""
