"""The catalog of the bookshop: what is sold, where it is stored and how it ships."""
from django.db import models


class CatalogCategory(models.Model):
    name = models.CharField(max_length=100)
    parent = models.ForeignKey(
        "self", on_delete=models.CASCADE, blank=True, null=True, related_name="children"
    )

    def __str__(self):
        return self.name


class CatalogBrand(models.Model):
    name = models.CharField(max_length=100)
    website = models.URLField(blank=True)

    def __str__(self):
        return self.name


class CatalogSupplier(models.Model):
    name = models.CharField(max_length=100)
    email = models.EmailField()

    def __str__(self):
        return self.name


class CatalogProduct(models.Model):
    sku = models.CharField(max_length=32, unique=True)
    name = models.CharField(max_length=200)
    slug = models.SlugField()
    summary = models.CharField(max_length=300, blank=True)
    description = models.TextField(blank=True)
    category = models.ForeignKey(
        CatalogCategory, on_delete=models.PROTECT, related_name="products"
    )
    brand = models.ForeignKey(
        CatalogBrand, on_delete=models.PROTECT, related_name="products"
    )
    supplier = models.ForeignKey(
        CatalogSupplier, on_delete=models.PROTECT, related_name="products"
    )
    price = models.DecimalField(max_digits=8, decimal_places=2)
    cost = models.DecimalField(max_digits=8, decimal_places=2)
    tax_rate = models.DecimalField(max_digits=4, decimal_places=2)
    weight_grams = models.PositiveIntegerField()
    width_mm = models.PositiveIntegerField()
    height_mm = models.PositiveIntegerField()
    depth_mm = models.PositiveIntegerField()
    stock = models.PositiveIntegerField(default=0)
    reorder_level = models.PositiveIntegerField(default=5)
    is_active = models.BooleanField(default=True)
    is_featured = models.BooleanField(default=False)
    created = models.DateTimeField(auto_now_add=True)
    updated = models.DateTimeField(auto_now=True)

    def __str__(self):
        return self.name


class Warehouse(models.Model):
    name = models.CharField(max_length=100)
    city = models.CharField(max_length=100)


class Shipment(models.Model):
    warehouse = models.ForeignKey(
        Warehouse, on_delete=models.PROTECT, related_name="shipments"
    )
    sent = models.DateTimeField()


class Coupon(models.Model):
    code = models.CharField(max_length=20, unique=True)
    percent_off = models.PositiveSmallIntegerField()


class Review(models.Model):
    product = models.ForeignKey(
        CatalogProduct, on_delete=models.CASCADE, related_name="reviews"
    )
    rating = models.PositiveSmallIntegerField()
    text = models.TextField(blank=True)


class Wishlist(models.Model):
    products = models.ManyToManyField(CatalogProduct, related_name="wishlists")


class Newsletter(models.Model):
    subject = models.CharField(max_length=200)
    body = models.TextField()
