"""Message codes whose findings the review suggestions can fix, per rule family.

A review finding whose code is in ``TRANSFORMABLE_RULES`` is offered a suggested change; the
family sets choose which rule module's fix visitor runs on the statement at the finding's
line. ``SKIP_LINE_ID`` is not a rule: a finding that carries it asks for the line to be
silenced with a disable pragma naming the line's other codes instead of being fixed.
"""

# Asks for a "# vettor: disable=" pragma on the finding's line. It shares the shape of the
# package's codes but lies outside every rule module's block, so no rule can ever report it.
SKIP_LINE_ID = "C0000"

# Codes reported on a module as a whole (on its line 1): pylint silences them only by a pragma
# on a line of its own above the module's first statement, not by one after the code of line 1.
MODULE_RULES = frozenset({"C3000", "C3003"})

# columns: null string fields, redundant keyword arguments, missing blank=True, huge
# CharFields and NullBooleanField.
TRANSFORMABLE_MODEL_FIELD_RULES = frozenset({"C2000", "C2002", "C2003", "C2006", "C2008"})

# migrations: RunPython without reverse_code.
TRANSFORMABLE_MIGRATION_RULES = frozenset({"C8001"})

# querysets: len() and count() on querysets, truth tests of querysets, primary keys read
# through foreign keys.
TRANSFORMABLE_QUERYSET_RULES = frozenset({"C9000", "C9001", "C9002", "C9003"})

# urls: reverse_lazy where reverse would do.
TRANSFORMABLE_URL_RULES = frozenset({"C6002"})

# templates: hard-coded static paths, and hard-coded links that a named route serves.
TRANSFORMABLE_TEMPLATE_RULES = frozenset({"C7000", "C7001"})

# checkers.settings: DEBUG left on (C4005), the insecure SESSION_COOKIE_HTTPONLY (C4015),
# and the missing security middleware and settings.
TRANSFORMABLE_SETTINGS_RULES = frozenset(
    {"C4005"} | {"C40%02d" % number for number in range(7, 18)}
)

TRANSFORMABLE_RULES = frozenset(
    TRANSFORMABLE_MODEL_FIELD_RULES
    | TRANSFORMABLE_MIGRATION_RULES
    | TRANSFORMABLE_QUERYSET_RULES
    | TRANSFORMABLE_URL_RULES
    | TRANSFORMABLE_TEMPLATE_RULES
    | TRANSFORMABLE_SETTINGS_RULES
    | {SKIP_LINE_ID}
)
