"""Settings checker: rules on a project's settings modules (block C4000)."""
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from .. import helpers


class Checker(BaseChecker):
    __implements__ = IAstroidChecker

    name = "settings"
    msgs = {
        "C4005": (
            helpers.context_string(),
            "obsolete-setting",
            "Setting has no effect in this Django version",
        ),
        "C4015": (
            helpers.context_string(),
            "redundant-default-setting",
            "Setting restates Django's default",
        ),
    }
