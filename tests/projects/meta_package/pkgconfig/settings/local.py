from .base import STATIC_URL  # noqa
from .base import ROOT_URLCONF  # noqa

DEBUG = True
