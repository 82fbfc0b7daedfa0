SECRET_KEY = "not-a-secret"
INSTALLED_APPS = ["django.contrib.contenttypes", "catalog"]
ROOT_URLCONF = "shop.urls"
STATIC_URL = "/static/"
