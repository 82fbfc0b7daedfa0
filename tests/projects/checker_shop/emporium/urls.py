from django.urls import path

from wares import views

urlpatterns = [path("", views.product_list, name="product-list")]
