"""Root URL configuration of the bookshop."""
from django.contrib import admin
from django.urls import include, path

urlpatterns = [
    path("admin/", admin.site.urls),
    path("books/", include("shop.urls")),
]
