"""Default settings of Django 2.2: the same as those of 2.1."""

from .django_2_1 import *  # noqa: F401,F403
