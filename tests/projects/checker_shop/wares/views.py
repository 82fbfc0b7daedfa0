from django.shortcuts import render

from wares.models import Product


def product_list(request):
    return render(request, "wares/list.html", {"products": Product.objects.all()})
