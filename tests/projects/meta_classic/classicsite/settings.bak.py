ROOT_URLCONF = "old.urls"
