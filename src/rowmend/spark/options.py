"""Spark's ``.option(name, value)`` strings read as the reading options of the options table."""

from __future__ import annotations

import json
from typing import Any, Dict, List, Mapping, Optional

from rowmend._checks import OptionError
from rowmend._options import OPTIONS, OptionSpec
from rowmend._sizes import parse_size

__all__ = ["READ_KEYS", "paths_option", "reading_options"]

_SPECS = {spec.name: spec for spec in OPTIONS}

#: Options of the Spark source that are not reading options: the byte range
#: each partition reads (``blocksize``).
READ_KEYS = ("blocksize",)

# Spark writes .option("x", True) as "true"; the command line's words too.
_TRUE = ("true", "yes", "1", "on")
_FALSE = ("false", "no", "0", "off")


def _boolean(spec: OptionSpec, text: str) -> bool:
    lowered = text.strip().lower()
    if lowered in _TRUE:
        return True
    if lowered in _FALSE:
        return False
    raise OptionError(spec.name, "{option} must be true or false, not {value}", text)


def _value(spec: OptionSpec, text: str) -> object:
    """One option's text as the value the reading functions take, by the table's kind and type."""
    if spec.kind == "flag":
        return _boolean(spec, text)
    if spec.kind == "choice":
        choices = dict(spec.choices)
        if text in choices:
            return choices[text]
        if any(isinstance(value, bool) for value in choices.values()) and text.strip().lower() in _TRUE + _FALSE:
            return _boolean(spec, text)  # header=true, as Spark's own CSV source spells it
        allowed = " or ".join(repr(word) for word in choices)
        raise OptionError(spec.name, f"{{option}} must be {allowed}, not {{value}}", text)
    if spec.type is int:
        if text in spec.words:
            return text
        try:
            return int(text)
        except ValueError:
            words = "".join(f"{word!r} or " for word in spec.words)
            raise OptionError(spec.name, f"{{option}} must be {words}a whole number, not {{value}}", text) from None
    if spec.name in ("delimiter", "quote_char", "escape_char") and text == "\\t":
        return "\t"  # as on the command line: a tab is awkward to write in a string of options
    return text


def reading_options(given: Mapping[str, str]) -> Dict[str, Any]:
    """The reading options among a Spark source's options, as values; TypeError for a name no option has.

    Spark hands every option over as a string (``.option("skip_footer", 3)``
    arrives as ``"3"``) and lowercases its name; each is read by its kind in
    :data:`rowmend._options.OPTIONS`, then checked by
    :func:`rowmend._options.resolve_options` as any call's options are.

    Examples:
        >>> reading_options({"skip_footer": "3", "header": "true", "delimiter": "\\\\t", "path": "a.csv"})
        {'skip_footer': 3, 'header': True, 'delimiter': '\\t'}
    """
    options: Dict[str, Any] = {}
    for name, text in given.items():
        if name in ("path", "paths") or name in READ_KEYS:
            continue
        spec = _SPECS.get(name)
        if spec is None:
            from rowmend._options import resolve_options

            resolve_options(**{name: text})  # raises the TypeError that names the nearest option
            raise AssertionError(name)  # pragma: no cover - resolve_options refuses every unknown name
        options[name] = _value(spec, text)
    return options


def paths_option(given: Mapping[str, str]) -> List[str]:
    """The paths given to ``.load()``: Spark passes one as ``path``, several as ``paths`` (a JSON list)."""
    if "paths" in given:
        paths = json.loads(given["paths"])
        if isinstance(paths, list) and paths and all(isinstance(path, str) for path in paths):
            return paths
    if given.get("path"):
        return [given["path"]]
    raise ValueError("no input: give the files to spark.read.format('rowmend').load(), a path, a glob or a list")


def blocksize_option(given: Mapping[str, str]) -> Optional[int]:
    """The ``blocksize`` option in bytes (``"256 MiB"``, ``"64KiB"``, ``"1000000"``); None when not given."""
    text = given.get("blocksize")
    return None if text is None or text.strip().lower() == "none" else parse_size(text, "blocksize")
