"""The bookshop project: settings and the root URL configuration."""
