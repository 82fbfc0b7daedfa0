"""Default settings of Django 2.0: those of 1.11, with the old-style middleware gone."""

from .django_1_11 import *  # noqa: F401,F403

del MIDDLEWARE_CLASSES  # noqa: F821
MIDDLEWARE = []
