"""Sizes as people write them: ``"256 MiB"``, ``"64KiB"``, ``"1e6"``."""

from __future__ import annotations

from typing import Union

from rowmend._checks import OptionError

__all__ = ["parse_size"]

#: The smallest byte range worth a partition of its own: below it the work
#: of a range is all overhead.
MIN_BLOCK = 64 * 1024


def parse_size(value: Union[int, str], option: str) -> int:
    """A size in bytes, from a count or a string with a unit; OptionError naming ``option`` otherwise.

    Examples:
        >>> parse_size("256 MiB", "blocksize"), parse_size(65536, "blocksize")
        (268435456, 65536)
    """
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"{option} must be a size in bytes or a string such as '256 MiB', not {type(value).__name__}")
    if isinstance(value, str):
        # dask's parser knows the units (kB, KiB, MB, MiB, ...) and plain counts.
        from dask.utils import parse_bytes

        try:
            size = int(parse_bytes(value))
        except (ValueError, TypeError):
            raise OptionError(option, "{option} must be a size such as '256 MiB' or a count of bytes, not {value}", value) from None
    else:
        size = value
    if size < MIN_BLOCK:
        raise OptionError(option, f"{{option}} must be at least 64 KiB ({MIN_BLOCK} bytes), not {{value}}", value)
    return size
