SECRET_KEY = "not-a-secret"
INSTALLED_APPS = ["catalog"]
STATIC_URL = "/static/"
