"""Settings checker: rules on a project's settings modules (block C4000)."""
import astroid
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from .. import constants, helpers


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


# The statement the test code's rewrite appends to the settings module.
APPENDED_SETTING = 'DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"'


class TransformerVisitor:
    """Rewrites of a settings module for the codes of one line; visits the module node."""

    def __init__(self, message_ids, settings_modpath):
        self.message_ids = message_ids
        self.settings_modpath = settings_modpath

    def visit(self, node):
        # Asks for the statement to be added at the end of the module.
        if constants.SETTINGS_APPEND_TEST_ID in self.message_ids:
            new_nodes = getattr(node, "new_nodes", None)
            if new_nodes is not None:
                new_nodes.append(astroid.extract_node(APPENDED_SETTING))
        return node


def build_transformer_visitor(*, message_ids, settings_modpath):
    return TransformerVisitor(message_ids, settings_modpath)


def remove_node(*, atok, node, start, end):
    """The fix of a setting that must go: its rows, replaced by nothing."""
    return start, end, ""
