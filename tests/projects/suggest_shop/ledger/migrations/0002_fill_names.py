from django.db import migrations


def fill_names(apps, schema_editor):
    Account = apps.get_model("ledger", "Account")
    Account.objects.filter(name=None).update(name="")


class Migration(migrations.Migration):

    dependencies = [("ledger", "0001_initial")]

    operations = [
        migrations.RunPython(fill_names),
    ]
