"""A Django project of a chosen size, the same for the same seed.

Each app has models with many field kinds (some with findings, most without), an admin module,
migrations (one of them with RunPython), URL patterns, views and query helpers that use
querysets, and templates; the project has a settings module and a root URL configuration.
`generate(root, python_files, seed)` writes it and returns the project-relative paths of the
Python files and of the templates.
"""
import random
from pathlib import Path

FILES_PER_APP = 10  # __init__, apps, models, admin, views, queries, urls, migrations x3

FIELD_KINDS = [
    "models.CharField(max_length={n})",
    "models.CharField(max_length=1024)",
    "models.CharField(max_length=64, null=True)",
    "models.TextField(blank=True)",
    "models.TextField(null=True, blank=True)",
    "models.IntegerField(default=0)",
    "models.PositiveIntegerField(null=True)",
    "models.BooleanField(default=False)",
    "models.NullBooleanField()",
    "models.DateTimeField(auto_now_add=True)",
    "models.DateField(null=True, blank=True)",
    "models.DecimalField(max_digits=10, decimal_places=2)",
    "models.EmailField(unique=True)",
    "models.SlugField(db_index=True)",
    "models.URLField(blank=True, default='')",
    "models.UUIDField(default=uuid.uuid4, editable=False)",
    "models.JSONField(default=dict)",
    "models.FileField(upload_to='files/', max_length=100)",
    "models.FloatField(null=False, db_index=False)",
    "models.CharField(max_length=20, unique_for_date='created')",
    "models.CharField(max_length=20, choices=STATUS_CHOICES, default='draft')",
]


def _models_module(rng, app, models):
    lines = [
        "import uuid",
        "",
        "from django.db import models",
        "from django.urls import reverse",
        "",
        "STATUS_CHOICES = [('draft', 'Draft'), ('live', 'Live')]",
        "",
    ]
    for i, name in enumerate(models):
        lines.append(f"class {name}(models.Model):")
        for f in range(rng.randint(4, 12)):
            kind = rng.choice(FIELD_KINDS).format(n=rng.choice([32, 100, 255]))
            lines.append(f"    field_{f} = {kind}")
        lines.append("    created = models.DateTimeField(auto_now_add=True)")
        if i > 0:
            target = models[rng.randrange(i)]
            related = "" if rng.random() < 0.4 else f", related_name='{name.lower()}_set'"
            lines.append(f"    owner = models.ForeignKey({target}, on_delete=models.CASCADE{related})")
        # Methods and Meta in an order that is sometimes the wrong one.
        parts = [
            ["", "    class Meta:", "        ordering = ['-created']"],
            ["", "    def __str__(self):", "        return str(self.pk)"],
            ["", "    def get_absolute_url(self):",
             f"        return reverse('{app}:detail', args=[self.pk])"],
            ["", "    def save(self, *args, **kwargs):", "        super().save(*args, **kwargs)"],
        ]
        if rng.random() < 0.3:
            rng.shuffle(parts)
        for part in parts:
            lines += part
        lines += ["", ""]
    if rng.random() < 0.3:
        lines += [
            "from django.contrib import admin",
            "",
            f"class {models[0]}InlineAdmin(admin.ModelAdmin):",
            "    list_display = ['id']",
            "",
        ]
    return "\n".join(lines) + "\n"


def _admin_module(rng, models):
    lines = ["from django.contrib import admin", "", f"from .models import {', '.join(models)}", ""]
    for name in models:
        if rng.random() < 0.5:
            lines += ["", f"@admin.register({name})", f"class {name}Admin(admin.ModelAdmin):",
                      "    list_display = ['id', 'created']", "    search_fields = ['id']", ""]
        else:
            lines += [f"admin.site.register({name})"]
    return "\n".join(lines) + "\n"


def _migration_initial(models):
    lines = ["from django.db import migrations, models", "", "",
             "class Migration(migrations.Migration):", "", "    initial = True",
             "    dependencies = []", "", "    operations = ["]
    for name in models:
        lines += [
            "        migrations.CreateModel(",
            f"            name='{name}',",
            "            fields=[",
            "                ('id', models.AutoField(auto_created=True, primary_key=True)),",
            "                ('created', models.DateTimeField(auto_now_add=True)),",
            "                ('title', models.CharField(max_length=2000, null=True)),",
            "            ],",
            "        ),",
        ]
    lines += ["    ]"]
    return "\n".join(lines) + "\n"


def _migration_data(rng, app, models):
    reverse = rng.random() < 0.5
    imports_model = rng.random() < 0.3
    lines = ["from django.db import migrations", ""]
    if imports_model:
        lines += [f"from {app}.models import {models[0]}", ""]
    lines += [
        "",
        "def forwards(apps, schema_editor):",
        f"    Model = apps.get_model('{app}', '{models[0]}')",
        "    for row in Model.objects.all():",
        "        row.save()",
    ]
    if imports_model:
        lines += [f"    {models[0]}.objects.filter(pk=1).update(field_0=None)"]
    lines += ["", "", "def backwards(apps, schema_editor):", "    pass", "", "",
              "class Migration(migrations.Migration):", "",
              f"    dependencies = [('{app}', '0001_initial')]", "", "    operations = ["]
    if reverse:
        lines += ["        migrations.RunPython(forwards, backwards),"]
    else:
        lines += ["        migrations.RunPython(forwards),"]
    lines += ["    ]"]
    return "\n".join(lines) + "\n"


def _views_module(rng, app, models):
    lines = ["from django.shortcuts import get_object_or_404, render",
             "from django.urls import reverse, reverse_lazy", "",
             f"from .models import {', '.join(models)}", ""]
    for name in models:
        low = name.lower()
        lines += [
            "",
            f"def {low}_list(request):",
            f"    items = {name}.objects.filter(created__isnull=False)",
            "    if len(items) > 0:" if rng.random() < 0.5 else "    if items.exists():",
            f"        return render(request, '{app}/index.html', {{'items': items}})",
            f"    return render(request, '{app}/index.html', {{}})",
            "",
            "",
            f"def {low}_detail(request, pk):",
            f"    item = get_object_or_404({name}, pk=pk)",
            f"    url = reverse_lazy('{app}:{low}_list')" if rng.random() < 0.3
            else f"    url = reverse('{app}:{low}_list')",
            f"    return render(request, '{app}/index.html', {{'item': item, 'url': url}})",
        ]
    return "\n".join(lines) + "\n"


def _queries_module(rng, models):
    lines = [f"from .models import {', '.join(models)}", ""]
    for i, name in enumerate(models):
        low = name.lower()
        lines += [
            "",
            f"def count_{low}(flag):",
            f"    qs = {name}.objects.all()",
            "    if qs.count() > 0:",
            "        return qs.count()",
            "    if not qs:",
            "        return 0",
            f"    total = len({name}.objects.exclude(pk=None))",
            "    return total + sum(1 for _ in qs.filter(pk__gt=flag))",
        ]
        if i > 0:
            lines += [
                "",
                "",
                f"def owner_of_{low}(pk):",
                f"    obj = {name}.objects.get(pk=pk)",
                "    return obj.owner.id",
            ]
        lines.append("")
    return "\n".join(lines) + "\n"


def _urls_module(rng, app, models):
    lines = ["from django.urls import path, re_path", "", "from . import views", "",
             f"app_name = '{app}'", "", "urlpatterns = ["]
    for name in models:
        low = name.lower()
        lines += [f"    path('{low}/', views.{low}_list, name='{low}_list'),",
                  f"    path('{low}/<int:pk>/', views.{low}_detail, name='{low}_detail'),"]
    if rng.random() < 0.4:
        low = models[0].lower()
        lines += [f"    re_path(r'^{low}/all/$', views.{low}_list, name='{low}_list'),"]
    lines += ["]"]
    return "\n".join(lines) + "\n"


def _template(rng, app):
    lines = ["{% extends 'base.html' %}", "{% load static %}", "{% block content %}"]
    for i in range(rng.randint(5, 30)):
        choice = rng.random()
        if choice < 0.2:
            lines.append(f'<a href="/{app}/item/{i}/">Item {i}</a>')
        elif choice < 0.35:
            lines.append(f'<img src="/static/{app}/{i}.png" alt="">')
        elif choice < 0.7:
            lines.append(f'<a href="{{% url \'{app}:detail\' {i} %}}">Item {i}</a>')
        else:
            lines.append(f"<p class=\"row\">{{{{ item.field_{i} }}}}</p>")
    lines.append("{% endblock %}")
    return "\n".join(lines) + "\n"


SETTINGS = """\
import os

BASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECRET_KEY = 'bench-not-secret'
DEBUG = True
ALLOWED_HOSTS = ['*']

INSTALLED_APPS = [
    'django.contrib.admin',
    'django.contrib.auth',
    'django.contrib.contenttypes',
    'django.contrib.sessions',
    'django.contrib.messages',
    'django.contrib.staticfiles',
{apps}
]

MIDDLEWARE = [
    'django.contrib.sessions.middleware.SessionMiddleware',
    'django.middleware.common.CommonMiddleware',
    'django.contrib.auth.middleware.AuthenticationMiddleware',
    'django.contrib.messages.middleware.MessageMiddleware',
]

ROOT_URLCONF = 'proj.urls'
TEMPLATES = [
    {{
        'BACKEND': 'django.template.backends.django.DjangoTemplates',
        'DIRS': [],
        'APP_DIRS': True,
        'OPTIONS': {{'context_processors': []}},
    }},
]
DATABASES = {{'default': {{'ENGINE': 'django.db.backends.sqlite3', 'NAME': 'db.sqlite3'}}}}
SESSION_COOKIE_HTTPONLY = False
STATIC_URL = '/static/'
USE_TZ = True
"""

MANAGE = """\
import os
import sys

if __name__ == '__main__':
    os.environ.setdefault('DJANGO_SETTINGS_MODULE', 'proj.settings')
    from django.core.management import execute_from_command_line
    execute_from_command_line(sys.argv)
"""


def generate(root, python_files=300, seed=0):
    """Writes the project under `root`; returns (python paths, template paths), relative."""
    rng = random.Random(seed)
    root = Path(root)
    written = {}

    def put(rel, text):
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        written[rel] = True

    app_count = max(1, (python_files - 5) // FILES_PER_APP)
    apps = [f"app{i:03d}" for i in range(app_count)]
    put("requirements.txt", "Django>=3.2,<3.3\n")
    put("manage.py", MANAGE)
    put("proj/__init__.py", "")
    put("proj/settings.py", SETTINGS.format(apps="\n".join(f"    '{a}'," for a in apps)))
    put("proj/wsgi.py", "from django.core.wsgi import get_wsgi_application\n\n"
        "application = get_wsgi_application()\n")
    urls = ["from django.urls import include, path", "", "urlpatterns = ["]
    urls += [f"    path('{a}/', include('{a}.urls')),"
             for a in apps]
    put("proj/urls.py", "\n".join(urls + ["]"]) + "\n")
    templates = []
    for app in apps:
        models = [f"{app.capitalize()}Model{m}" for m in range(rng.randint(2, 5))]
        put(f"{app}/__init__.py", "")
        put(f"{app}/apps.py", "from django.apps import AppConfig\n\n\n"
            f"class {app.capitalize()}Config(AppConfig):\n    name = '{app}'\n")
        put(f"{app}/models.py", _models_module(rng, app, models))
        put(f"{app}/admin.py", _admin_module(rng, models))
        put(f"{app}/views.py", _views_module(rng, app, models))
        put(f"{app}/queries.py", _queries_module(rng, models))
        put(f"{app}/urls.py", _urls_module(rng, app, models))
        put(f"{app}/migrations/__init__.py", "")
        put(f"{app}/migrations/0001_initial.py", _migration_initial(models))
        put(f"{app}/migrations/0002_data.py", _migration_data(rng, app, models))
        for t in range(2):
            rel = f"{app}/templates/{app}/page{t}.html"
            put(rel, _template(rng, app))
            templates.append(rel)
    # Fill up to the exact count with small helper modules of the last app.
    python = [p for p in written if p.endswith(".py")]
    extra = 0
    while len(python) < python_files:
        rel = f"{apps[-1]}/helpers_{extra}.py"
        put(rel, f"def helper_{extra}(value):\n    return value * {extra}\n")
        python.append(rel)
        extra += 1
    return python[:python_files] if len(python) > python_files else python, templates
