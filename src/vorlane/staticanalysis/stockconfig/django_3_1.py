"""Default settings of Django 3.1: those of 3.0, with a referrer policy set and the
password-reset timeout in seconds."""

from .django_3_0 import *  # noqa: F401,F403

del FILE_CHARSET  # noqa: F821
LANGUAGES_BIDI = ["he", "ar", "ar-dz", "fa", "ur"]
# Date-only formats are no longer listed: DateTimeField accepts ISO dates itself.
DATETIME_INPUT_FORMATS = [
    "%Y-%m-%d %H:%M:%S",  # '2006-10-25 14:30:59'
    "%Y-%m-%d %H:%M:%S.%f",  # '2006-10-25 14:30:59.000200'
    "%Y-%m-%d %H:%M",  # '2006-10-25 14:30'
    "%m/%d/%Y %H:%M:%S",  # '10/25/2006 14:30:59'
    "%m/%d/%Y %H:%M:%S.%f",  # '10/25/2006 14:30:59.000200'
    "%m/%d/%Y %H:%M",  # '10/25/2006 14:30'
    "%m/%d/%y %H:%M:%S",  # '10/25/06 14:30:59'
    "%m/%d/%y %H:%M:%S.%f",  # '10/25/06 14:30:59.000200'
    "%m/%d/%y %H:%M",  # '10/25/06 14:30'
]
# A transitional setting, for running 3.0 and 3.1 instances side by side.
DEFAULT_HASHING_ALGORITHM = "sha256"
PASSWORD_RESET_TIMEOUT = 60 * 60 * 24 * 3
DEFAULT_EXCEPTION_REPORTER = "django.views.debug.ExceptionReporter"
SECURE_REFERRER_POLICY = "same-origin"
