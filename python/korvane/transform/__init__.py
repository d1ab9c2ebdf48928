"""Geometric transforms such as resizing."""
