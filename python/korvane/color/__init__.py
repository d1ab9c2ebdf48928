"""Colour-space and channel-order conversions."""
