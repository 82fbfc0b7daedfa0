"""The catalogue app."""
