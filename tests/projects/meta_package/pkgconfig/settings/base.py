ROOT_URLCONF = "pkgconfig.urls"
STATIC_URL = "/pkg-static/"
