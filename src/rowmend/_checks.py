"""Checks of single values that more than the options need: the characters of a dialect, and the error they raise.

A leaf: the options, the layout value and the command line's own flags check
their characters here, and nothing here imports the rest of the package.
"""

from __future__ import annotations

from typing import Dict, Optional

__all__ = ["OptionError", "check_character", "check_distinct"]


class OptionError(ValueError):
    """A reading option's value that cannot be used, told in the caller's own terms.

    The message is written once, as a template: ``{option}`` stands for the
    option's name and ``{auto}``, ``{none}`` and the like for the words it
    takes, so that Python shows ``quote_char ... 'none'`` and the command
    line ``--quote-char ... none``.

    Attributes:
        option: The option's name, as in :data:`OPTIONS`.
        template: The message with its placeholders.
        value: The value given.
    """

    def __init__(self, option: str, template: str, value: object) -> None:
        self.option = option
        self.template = template
        self.value = value
        super().__init__(self.render(option, "'"))

    def render(self, spelling: str, quote: str) -> str:
        """The message with the option spelt ``spelling`` and its words within ``quote``."""
        words = {word: f"{quote}{word}{quote}" for word in ("auto", "none", "section")}
        return self.template.format(option=spelling, value=repr(self.value), **words)


# What each character option's words do, for the messages that offer them.
_CHARACTER_WORDS = {
    "delimiter": "{auto} to detect it",
    "quote_char": "{auto} to detect it or {none} to read quotes as text",
    "escape_char": "{auto} to detect it or {none} for no escape",
}


def check_character(name: str, value: Optional[str], fix: Optional[str] = None) -> None:
    """A delimiter, quote or escape character is one ASCII byte that is no line break.

    A delimiter may also be one such byte and a blank: the separator ``", "``.
    An :class:`OptionError` says what to write instead: ``fix``, else the
    option's words.
    """
    if value is None:
        return
    if name in ("delimiter", "output_delimiter") and len(value) == 2 and value[1] == " " and value[0] != " ":
        value = value[0]
    fix = fix or _CHARACTER_WORDS.get(name, "")
    if len(value) != 1:
        raise OptionError(name, "{option} must be one character" + (f" ({fix})" if fix else "") + ", not {value}", value)
    if not value.isascii():
        raise OptionError(name, f"{{option}} must be an ASCII character, not {{value}} (U+{ord(value):04X})", value)
    if value in "\r\n":
        raise OptionError(name, "{option} cannot be a line break ({value})", value)


def check_distinct(given: Dict[str, Optional[str]]) -> None:
    """The delimiter, quote and escape characters given must be three different bytes."""
    names = [name for name, value in given.items() if value is not None]
    for i, first in enumerate(names):
        for second in names[i + 1 :]:
            if given[first] == given[second]:
                raise ValueError(f"{first} and {second} are both {given[first]!r}; they must differ")
