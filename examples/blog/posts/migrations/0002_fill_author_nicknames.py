from django.db import migrations


def fill_nicknames(apps, schema_editor):
    Author = apps.get_model("posts", "Author")
    for author in Author.objects.filter(nickname__isnull=True):
        author.nickname = author.name.split()[0]
        author.save(update_fields=["nickname"])


class Migration(migrations.Migration):

    dependencies = [
        ("posts", "0001_initial"),
    ]

    operations = [
        migrations.RunPython(fill_nicknames),
    ]
