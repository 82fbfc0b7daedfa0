import builtins
import re

from django.db import migrations

from catalog.models import Book

ZERO = 0
books = Book.objects.filter(pages__gt=100)

def count(values=None):
    return 0


def sizes():
    """books is the module's: a function's later reads of it do not count."""
    items = [1, 2, 3]
    total = len(books)  # [C9000]
    listed = len(items)
    qualified = builtins.len(books)
    empty = len(books) == 0  # [C9000, C9002]
    chained = len(Book.objects.all().exclude(pages=0))  # [C9000]
    return total, listed, qualified, empty, chained


def comparisons():
    books = Book.objects.filter(pages__gt=100)
    a = books.count() > 0  # [C9002]
    b = books.count() >= 1  # [C9002]
    c = books.count() == 0  # [C9002]
    d = books.count() < 1  # [C9002]
    e = books.count() > ZERO  # [C9002]
    f = books.count() > 0.0  # [C9002]
    g = books.count() != 0
    h = books.count() > 1
    i = books.count() <= 0
    j = 0 < books.count()
    k = 0 < books.count() < 5
    m = books.count(1) == 0
    n = count() == 0
    o = books.count() is 0
    return a, b, c, d, e, f, g, h, i, j, k, m, n, o


def truth_tests():
    """books is the module's: a function's later reads of it do not count."""
    if Book.objects.filter(pages=1).count():  # [C9002]
        pass
    if books:  # [C9003]
        pass
    elif books:  # [C9003]
        pass
    if not books:  # [C9003]
        pass
    if books.count() > 0:  # [C9002]
        pass
    if len(books) > 0:  # [C9000, C9002]
        pass
    hidden = not books.count()  # [C9002]
    negative = -books.count()
    minus = -books
    inverted = ~books
    if count():
        pass
    if not count():
        pass
    while books:
        break
    chosen = 1 if books else 2
    truth = bool(books)
    both = books and hidden
    return hidden, negative, minus, inverted, chosen, truth, both


def foreign_keys(unknown):
    book = Book.objects.get(pk=1)
    a = book.author.pk  # [C9001]
    b = book.author.id  # [C9001]
    c = book.pk
    d = book.author.name
    e = book.author_id
    book.author.pk = 3
    f = unknown.author.pk
    g = missing.author.id
    return a, b, c, d, e, f, g


class BookView:
    def __init__(self):
        self.book = Book.objects.get(pk=1)

    def author_key(self):
        return self.book.author.id  # [C9001]


# Not a migration module: nothing here is a migration operation.
operations = [migrations.RunPython(sizes)]


def recent():
    return Book.objects.filter(pages__gt=100)


def tests_not_examined(flag):
    books = recent()
    match = re.match("a", "abc")
    if recent():  # [C9003]
        pass
    if books or flag:
        pass
    if isinstance(books, list):
        pass
    if match:
        pass
    if not re.search("a", "abc"):
        pass
