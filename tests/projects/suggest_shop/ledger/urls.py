from django.urls import path

from . import views

urlpatterns = [
    path("", views.entry_list, name="entry-list"),
    path("close/<int:pk>/", views.close_account, name="close-account"),
]
