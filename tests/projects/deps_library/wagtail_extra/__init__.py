"""Helpers for pages; no manage.py and no requirement files."""
