"""Default settings of Django 2.1: those of 2.0, with SameSite cookies."""

from .django_2_0 import *  # noqa: F401,F403

del USE_ETAGS  # noqa: F821
SESSION_COOKIE_SAMESITE = "Lax"
CSRF_COOKIE_SAMESITE = "Lax"
# BCryptPasswordHasher is no longer listed.
PASSWORD_HASHERS = [
    "django.contrib.auth.hashers.PBKDF2PasswordHasher",
    "django.contrib.auth.hashers.PBKDF2SHA1PasswordHasher",
    "django.contrib.auth.hashers.Argon2PasswordHasher",
    "django.contrib.auth.hashers.BCryptSHA256PasswordHasher",
]
