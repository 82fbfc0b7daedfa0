from django.db import migrations


def title_case_titles(apps, schema_editor):
    Book = apps.get_model("shop", "Book")
    for book in Book.objects.all():
        book.title = book.title.title()
        book.save(update_fields=["title"])


class Migration(migrations.Migration):

    dependencies = [("shop", "0001_initial")]

    operations = [
        migrations.RunPython(title_case_titles, atomic=False),
    ]
