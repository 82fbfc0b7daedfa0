"""The shop app: authors, books and their pages."""
