"""What each of the package's findings means, in English, one name per message code.

Every public name of this module is a message code: the lint driver lists the module to learn
the package's own codes, so nothing but codes may be public here. Each text is written with
the keys of that code's argument record, for ``text.format(**record)``.
"""


class __TextByRecord(str):
    """A rule's text whose advice depends on what the finding's code says: the value its
    argument record holds under ``key`` picks one of ``texts``, and any other value keeps this
    text. It renders through ``format`` and ``format_map`` as a plain text does; everything
    else (``replace``, comparisons) sees this text."""

    def __new__(cls, text, key, texts):
        self = super().__new__(cls, text)
        self.key, self.texts = key, texts
        return self

    def chosen(self, record):
        value = record.get(self.key) if hasattr(record, "get") else None
        try:
            return self.texts.get(value, str(self))
        except TypeError:  # a value that cannot be a key (a list) picks nothing
            return str(self)

    def format(self, *args, **kwargs):
        return self.chosen(kwargs).format(*args, **kwargs)

    def format_map(self, mapping):
        return self.chosen(mapping).format_map(mapping)


# Model fields
C2000 = (
    "Field {name} is a nullable string field. Django stores an empty string, not NULL, for "
    '"no data" in string fields; allowing NULL as well gives two values meaning the same '
    "thing. Drop null=True and use blank=True with a default of ''."
)
C2001 = (
    "This model has {count} fields. A model this wide is hard to understand and slow to "
    "query; consider splitting it into related models."
)
C2002 = (
    "Field {name} passes {option}={value}, which is already the default for this field. "
    "The argument can be removed."
)
# A key that is set to NULL when its target goes needs null=True: only blank=True is advised.
__KEPT_NULL = (
    "Field {name} allows NULL in the database but not an empty value in forms. Add "
    "blank=True so forms and the admin can leave it empty, and keep null=True: "
    "on_delete={on_delete} needs it."
)
C2003 = __TextByRecord(
    "Field {name} allows NULL in the database but not an empty value in forms. Add "
    "blank=True so forms and the admin can leave it empty, or drop null=True.",
    "on_delete",
    {"SET_NULL": __KEPT_NULL, "SET_DEFAULT": __KEPT_NULL},
)
C2004 = (
    "Field {name} uses {option}. This check runs only in model forms and is not enforced by "
    "the database, so it is easily bypassed; prefer a database constraint."
)
C2005 = (
    "Foreign key {name} has no related_name. Name the reverse relation explicitly so that "
    "lookups from the other model read clearly and do not clash."
)
C2006 = (
    "CharField {name} has max_length={value}. For text this long use a TextField, which "
    "needs no maximum length."
)
C2008 = (
    "Field {name} is a NullBooleanField, which is deprecated. Use BooleanField(null=True) "
    "instead."
)
C2011 = (
    "Field {name} is a primary key declared with unique=False. A primary key is always "
    "unique; drop the unique argument."
)

# Model layout
C3000 = (
    "This module defines {count} models (the limit is {maximum}). Consider splitting the "
    "application into smaller applications."
)
C3002 = (
    "{before} should come before {after}. In a Django model the fields come first, then "
    "class Meta, __str__, save and get_absolute_url, then custom methods."
)
C3003 = (
    "{count} model names start with {prefix}. A prefix shared by many models often means "
    "they belong in an application of their own."
)

# Settings (deployment security)
C4005 = (
    "{setting} is set to {value}, which is not safe in production (DEBUG = True, for one, "
    "shows tracebacks and settings to every visitor). Remove the override or take the value "
    "from the environment."
)
C4007 = (
    "{middleware} is missing from {setting}. It sets several security headers and "
    "redirects plain HTTP requests to HTTPS when asked to."
)
C4008 = (
    "{middleware} is missing from {setting}. Without it, pages can be shown in frames "
    "on other sites (clickjacking)."
)
C4009 = (
    "{middleware} is missing from {setting}. Without it, forms are not protected "
    "against cross-site request forgery."
)
C4010 = (
    "{setting} is {value}. Set it to a number of seconds (a year is usual) so browsers "
    "refuse plain HTTP connections to the site (HTTP Strict Transport Security)."
)
C4011 = (
    "{setting} is {value}. Set it to True so HTTP Strict Transport Security covers the "
    "site's subdomains too."
)
C4012 = (
    "{setting} is {value}. Set it to True so browsers do not guess content types, which "
    "can turn an uploaded file into a script."
)
C4013 = "{setting} is {value}. Set it to True so plain HTTP requests are redirected to HTTPS."
C4014 = "{setting} is {value}. Set it to True so the session cookie is sent over HTTPS only."
C4015 = (
    "{setting} is set to {value}. Remove it so scripts in the page cannot read the "
    "session cookie."
)
C4016 = "{setting} is {value}. Set it to True so the CSRF cookie is sent over HTTPS only."
C4017 = (
    "{setting} is {value}. Set it to True so the site can be put on browsers' HSTS "
    "preload lists."
)

# Admin
C5000 = (
    "Admin class {name} is defined outside admin.py. Keep admin classes in the "
    "application's admin module, where Django and readers look for them."
)

# URLs
C6001 = (
    "The URL name {name} is used by more than one route with the same parameters, so "
    "reversing it cannot tell them apart."
)
C6002 = (
    "{signature} is called inside a function, where reverse would do. reverse_lazy is for "
    "module and class level, where the URL configuration is not loaded yet."
)

# Templates
# The project's route that serves the link says how to write it: by the route's name, or,
# for a route without one, once the route is named.
C7000 = __TextByRecord(
    "The link {path} is a hard-coded URL that the route {name} serves. Write {url_tag} "
    "instead, so the link follows changes to the URL configuration.",
    "name",
    {
        None: 'The link {path} is a hard-coded URL that the route "{route}" of {module} serves. '
        "Give that route a name and write the link with the {{% url %}} tag, so it follows "
        "changes to the URL configuration."
    },
)
C7001 = (
    "The static file {path} is referenced by a hard-coded URL. Use the {{% static %}} tag so "
    "it follows STATIC_URL and the storage backend."
)

# Migrations
C8000 = (
    "This migration imports the model {name} directly. Use apps.get_model() so the "
    "migration sees the model as it was at that point in the history."
)
C8001 = (
    "RunPython({forwards_name}) has no reverse operation, so the migration cannot be "
    "unapplied. Pass reverse_code, or migrations.RunPython.noop if nothing needs undoing."
)

# Querysets
C9000 = (
    "len() of a queryset loads every row to count them. Use .count(), which asks the " "database."
)
C9001 = (
    "{me}.{related_name}.{pk_attribute} fetches the related object only to read its key. "
    "Use {me}.{related_name}_id, which is already loaded."
)
C9002 = (
    "{expression} is used only to test whether rows exist. Use {queryset}.exists(), which "
    "stops at the first row."
)
C9003 = (
    "Testing the queryset {queryset} for truth loads every row. Use {queryset}.exists() "
    "unless the rows are used afterwards."
)
