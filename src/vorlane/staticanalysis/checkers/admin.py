"""Model admin checker: rules on Django ModelAdmin classes (block C5000)."""
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from .. import helpers


class Checker(BaseChecker):
    __implements__ = IAstroidChecker

    name = "admin"
    msgs = {
        "C5000": (
            helpers.context_string(),
            "admin-missing-list-display",
            "ModelAdmin without list_display",
        ),
    }
