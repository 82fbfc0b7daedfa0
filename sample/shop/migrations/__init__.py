"""Migrations of the shop app."""
