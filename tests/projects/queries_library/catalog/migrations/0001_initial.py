from django.db import migrations, models
from django.db.migrations import RunPython

import catalog.models
from catalog.models import Author

options = {"atomic": False}


def forwards(apps, schema_editor):
    Author.objects.create(name="Anonymous")  # [C8000]
    catalog.models.Book.objects.all()  # [C8000]
    apps.get_model("catalog", "Author").objects.all()


def backwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):
    initial = True

    dependencies = []

    operations = [
        migrations.CreateModel(
            name="Author",
            fields=[("name", models.CharField(max_length=100))],
        ),
        migrations.RunPython(forwards),  # [C8001]
        migrations.RunPython(code=forwards),  # [C8001]
        migrations.RunPython(forwards, atomic=False),  # [C8001]
        migrations.RunPython(forwards, backwards),
        migrations.RunPython(forwards, reverse_code=backwards),
        migrations.RunPython(code=forwards, reverse_code=backwards, atomic=True),
        RunPython(forwards),
        migrations.RunPython(),  # [C8001]
        migrations.RunPython(atomic=False),  # [C8001]
        migrations.RunPython(**options),  # [C8001]
    ]
