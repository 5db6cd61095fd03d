"""Error and notice types of the kova toolbox."""

__all__ = ["KovaError", "KovaWarning", "KovaInfo"]


class KovaError(Exception):
    """An invalid request: an unsupported metric, a bad argument, a rank out of range, ..."""


class KovaWarning(UserWarning):
    """A condition the user should know about that does not stop the work."""


class KovaInfo(UserWarning):
    """An informational notice issued through the warnings machinery."""
