import django.db.models.deletion
from django.db import migrations, models

from shop.models import Author


def add_anonymous_author(apps, schema_editor):
    Author.objects.create(name="Anonymous")


class Migration(migrations.Migration):

    initial = True

    dependencies = []

    operations = [
        migrations.CreateModel(
            name="Author",
            fields=[
                ("id", models.AutoField(auto_created=True, primary_key=True, serialize=False, verbose_name="ID")),
                ("name", models.CharField(max_length=100)),
                ("biography", models.TextField(null=True)),
                ("newsletter", models.NullBooleanField()),
            ],
            options={"ordering": ["name"]},
        ),
        migrations.CreateModel(
            name="Book",
            fields=[
                ("title", models.CharField(max_length=1000)),
                ("isbn", models.CharField(max_length=13)),
                ("published", models.DateField()),
                ("code", models.IntegerField(primary_key=True, serialize=False)),
                ("price", models.DecimalField(decimal_places=2, max_digits=6)),
                (
                    "author",
                    models.ForeignKey(
                        null=True,
                        on_delete=django.db.models.deletion.CASCADE,
                        to="shop.author",
                    ),
                ),
            ],
            options={"ordering": ["title"]},
        ),
        migrations.RunPython(add_anonymous_author),
    ]
