"""Error and notice types of the kova toolbox."""

__all__ = ["KovaError", "KovaTypeError", "KovaWarning", "KovaInfo"]


class KovaError(ValueError):
    """An invalid request: an unsupported metric, a bad argument, a rank out of range, ...

    It is a `ValueError`, so callers' ``except ValueError`` handlers see it too.
    """


class KovaTypeError(KovaError, TypeError):
    """An argument of the wrong type: a `KovaError` that is also a `TypeError`."""


class KovaWarning(UserWarning):
    """A condition the user should know about that does not stop the work."""


class KovaInfo(UserWarning):
    """An informational notice issued through the warnings machinery."""
