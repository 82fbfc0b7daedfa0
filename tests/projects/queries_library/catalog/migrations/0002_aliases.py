from django.db import migrations

import catalog.models as m

Order = m.Book


def forwards(apps, schema_editor):
    # No from-import of catalog.models here: its models are not taken for imported.
    Order.objects.all()
    m.Author.objects.all()


class Migration(migrations.Migration):
    dependencies = [("catalog", "0001_initial")]

    operations = [migrations.RunPython(forwards)]  # [C8001]
