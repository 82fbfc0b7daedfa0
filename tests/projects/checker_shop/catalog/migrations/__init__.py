"""Migrations of the catalogue app."""
