from django.urls import path

from catalog import views

urlpatterns = [path("", views.product_list, name="product-list")]
