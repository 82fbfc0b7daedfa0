"""Static analysis of Django projects."""
