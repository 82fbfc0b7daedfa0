"""Rule tables of the fix suggestions: which codes may be fixed, and by which rewrites.

`suggest` reads every table at each use, so a test or a caller may replace one.
"""

#: The pseudo-code of a finding comment that asks for a suppression comment on its line
#: instead of a fix.
SKIP_LINE_ID = "SKIP_LINE"

#: A code no rule reports: the settings rewrite answers it by appending a statement to
#: the module, which exercises the merging of added code into the suggestions.
SETTINGS_APPEND_TEST_ID = "C4900"

# Each family table routes codes to one module's build_transformer_visitor.
TRANSFORMABLE_MODEL_FIELD_RULES = frozenset(
    {"C2000", "C2002", "C2003", "C2006", "C2008"}
)
TRANSFORMABLE_URL_RULES = frozenset({"C6002"})
TRANSFORMABLE_MIGRATION_RULES = frozenset({"C8001"})
TRANSFORMABLE_QUERYSET_RULES = frozenset({"C9000", "C9001", "C9002", "C9003"})
TRANSFORMABLE_SETTINGS_RULES = frozenset({"C4005", "C4015", SETTINGS_APPEND_TEST_ID})

#: Every code the driver hands on: each rule of the system, fixable or not, so that a
#: suppression comment can name any of them, the template fix, the settings test code
#: and the suppression pseudo-code.
TRANSFORMABLE_RULES = frozenset(
    {
        # Model fields and model modules.
        "C2000",
        "C2001",
        "C2002",
        "C2003",
        "C2004",
        "C2005",
        "C2006",
        "C2008",
        "C2011",
        "C3000",
        "C3002",
        "C3003",
        # Settings and model admins.
        "C4005",
        "C4015",
        SETTINGS_APPEND_TEST_ID,
        "C5000",
        # URLs and templates.
        "C6001",
        "C6002",
        "C7000",
        "C7001",
        # Migrations and QuerySets.
        "C8000",
        "C8001",
        "C9000",
        "C9001",
        "C9002",
        "C9003",
        SKIP_LINE_ID,
    }
)
