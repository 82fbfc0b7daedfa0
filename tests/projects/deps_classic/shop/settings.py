DEBUG = True
INSTALLED_APPS = ["django.contrib.admin", "shop"]
ROOT_URLCONF = "shop.urls"
