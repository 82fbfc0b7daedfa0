SECRET_KEY = "not-a-secret"
INSTALLED_APPS = [
    "django.contrib.contenttypes",
    "django.contrib.staticfiles",
    "ledger",
]
ROOT_URLCONF = "counter.urls"
STATIC_URL = "/assets/"
