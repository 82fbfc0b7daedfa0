SECRET_KEY = "not-a-secret"
INSTALLED_APPS = ["django.contrib.contenttypes", "wares"]
ROOT_URLCONF = "emporium.urls"
STATIC_URL = "/static/"
