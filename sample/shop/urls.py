from django.urls import path

from . import redirects, views

app_name = "shop"

urlpatterns = [
    path("", views.book_list, name="book-list"),
    path("<int:pk>/", views.book_detail, name="book-detail"),
    path("<int:pk>/about/", views.book_detail, name="book-detail"),
    path("by-title/<slug:title>/", views.book_detail, name="book-detail"),
    path("catalogue/", redirects.old_catalogue, name="old-catalogue"),
    path("book/<int:pk>/", redirects.old_book, name="old-book"),
]
