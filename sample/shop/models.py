from django.db import models
from django.urls import reverse


class Author(models.Model):
    name = models.CharField(max_length=100)
    biography = models.TextField(null=True)
    newsletter = models.NullBooleanField()

    class Meta:
        ordering = ["name"]

    def __str__(self):
        return self.name


class Book(models.Model):
    title = models.CharField(max_length=1000)
    isbn = models.CharField(max_length=13, blank=False)
    author = models.ForeignKey(Author, on_delete=models.CASCADE, null=True)
    published = models.DateField(unique_for_date=None)
    code = models.IntegerField(primary_key=True, unique=False)

    def get_absolute_url(self):
        return reverse("shop:book-detail", kwargs={"pk": self.pk})

    def __str__(self):
        return self.title

    class Meta:
        ordering = ["title"]

    price = models.DecimalField(max_digits=6, decimal_places=2)
