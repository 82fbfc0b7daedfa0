"""Redirects from the shop's old addresses to the current ones."""
from django.shortcuts import redirect
from django.urls import reverse_lazy

# Resolved on first use, after the URL configuration has loaded.
CATALOGUE_URL = reverse_lazy("shop:book-list")


def old_catalogue(request):
    return redirect(CATALOGUE_URL)


def old_book(request, pk):
    return redirect(reverse_lazy("shop:book-detail", kwargs={"pk": pk}))
