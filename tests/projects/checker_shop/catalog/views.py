from django.shortcuts import render

from catalog.models import Product


def product_list(request):
    return render(request, "catalog/list.html", {"products": Product.objects.all()})
