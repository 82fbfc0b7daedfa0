"""The emporium project."""
