from django.db import models


class Product(models.Model):
    name = models.CharField(max_length=100)
    price = models.DecimalField(max_digits=8, decimal_places=2)

    def __str__(self):
        return self.name


class Quiet(models.Model):  # vorlane: disable=probe-class
    pass


class Tag(models.Model):
    label = models.CharField(max_length=30)
