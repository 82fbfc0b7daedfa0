"""Advice texts: one short piece of advice per message code the linter reports.

Every public attribute of this module is a message code; the linter keeps exactly the
findings whose code is named here, so nothing else may be defined at module level.
"""

# Project meta record and the linter's own syntax error.
C1000 = "The Django version this project is checked against, from its requirements."
E0001 = "The file does not parse; fix the syntax error before anything else is checked."

# Model fields.
C2000 = "Leave null off string fields: Django stores a missing text as ''."
C2001 = "This model has many fields; consider splitting it."
C2002 = "This argument restates the field's default; remove it."
C2003 = "A nullable field should also allow blank=True, or forms reject empty values."
C2004 = "unique_for_date and its kin are checked by forms only, not by the database."
C2005 = "Give the foreign key a related_name, so the reverse accessor is explicit."
C2006 = "This max_length is very large; a TextField may fit better."
C2008 = "NullBooleanField is deprecated: use BooleanField(null=True)."
C2011 = "A primary key is always unique; remove unique=False."

# Model module layout.
C3000 = "This module defines many models; split it into several modules."
C3002 = "Order the members: fields, Meta, __str__, save, get_absolute_url, the rest."
C3003 = "Many models share one name prefix; an app of their own may fit them better."

# Settings.
C4005 = "This setting has no effect in the project's Django version; remove it."
C4015 = "This setting restates Django's default; remove it."

# Model admins.
C5000 = "Give the model admin a list_display, so its change list shows useful columns."

# URL configurations.
C6001 = "Another URL of this module already has this name; give each URL its own name."
C6002 = "reverse_lazy is not needed here: reverse runs late enough."

# Templates.
C7000 = "Build this link with the {% url %} tag instead of hard-coding the path."
C7001 = "Load this asset with the {% static %} tag instead of hard-coding the path."

# Migrations.
C8000 = "Migrations should use the historical model from apps.get_model, not an import."
C8001 = "Give RunPython a reverse_code (migrations.RunPython.noop at least)."

# QuerySets and foreign keys.
C9000 = "Use queryset.count() instead of len(queryset) when the rows are not needed."
C9001 = "Read the foreign key's column (foo.bar_id) instead of the related object's pk."
C9002 = "Use queryset.exists() instead of comparing count() with 0 or 1."
C9003 = "Use queryset.exists() instead of testing the queryset's truth."
