import os

BASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEBUG = False
ROOT_URLCONF = "classicsite.urls"
STATIC_URL = "/assets/"
