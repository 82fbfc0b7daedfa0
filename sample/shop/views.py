from django.shortcuts import redirect, render
from django.urls import reverse_lazy

from .models import Book


def book_list(request):
    books = Book.objects.filter(author__isnull=False)
    context = {"books": books, "total": len(Book.objects.all())}
    if books.count() > 0:
        context["first"] = books.first()
    if not books:
        context["empty"] = True
    return render(request, "shop/book_list.html", context)


def book_detail(request, pk):
    book = Book.objects.get(pk=pk)
    if book.author is None:
        return redirect(reverse_lazy("shop:book-list"))
    author_id = book.author.pk
    context = {"book": book, "author_id": author_id}
    return render(request, "shop/book_detail.html", context)


def author_books(request, author_pk):
    books = Book.objects.filter(author_id=author_pk)
    if not books.count():
        return redirect(reverse_lazy("shop:book-list"))
    priced = books.filter(price__gt=0)
    context = {"books": books, "unpriced": len(priced) == 0}
    if priced:
        context["cheapest"] = priced.order_by("price").first()
    if books.exclude(published=None).count():
        context["dated"] = True
    return render(request, "shop/book_list.html", context)
