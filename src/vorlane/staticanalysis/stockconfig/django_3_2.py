"""Default settings of Django 3.2: those of 3.1, with the default primary-key field."""

from .django_3_1 import *  # noqa: F401,F403

DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
