"""Django's default settings (django.conf.global_settings), one module per supported
Django minor release, readable without installing that release."""
