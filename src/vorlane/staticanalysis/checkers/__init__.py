"""Checker modules of the linter."""
