from pathlib import Path

BASE_DIR = Path(__file__).resolve().parent.parent
ROOT_URLCONF = 'modernsite.urls'
STATIC_URL = 'static/'
