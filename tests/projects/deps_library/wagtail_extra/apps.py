from django.apps import AppConfig


class WagtailExtraConfig(AppConfig):
    name = "wagtail_extra"
