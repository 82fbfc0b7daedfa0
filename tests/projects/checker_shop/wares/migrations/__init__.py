"""Migrations of the wares app."""
