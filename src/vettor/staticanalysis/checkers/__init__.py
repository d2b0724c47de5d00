"""Rule modules: model fields and layout, admin, migrations, querysets, URLs, templates, settings."""
