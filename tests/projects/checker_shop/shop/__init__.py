"""The shop project."""
