"""The wares app."""
