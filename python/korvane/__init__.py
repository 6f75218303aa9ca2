"""A population-density data set shipped sealed inside two CPython extension modules.

    >>> from korvane import get_population_density
    >>> df = get_population_density()        # a new pandas DataFrame on every call

get_population_density()
    The data set, opened with the key embedded in the package.
decrypt_txt_to_df(key)
    The same, opened with `key`: the key the token was sealed with (bytes or str). Any other
    key raises cryptography.fernet.InvalidToken.

The functions live in the extension module korvane.src.utils.unsealer; the sealed token is
korvane.src.utils.sealedset.data. `python -m korvane --help` shows the command line.
"""

__version__ = "0.1.0"
__all__ = ["decrypt_txt_to_df", "get_population_density", "__version__"]

_FUNCTIONS = ("decrypt_txt_to_df", "get_population_density")


def __getattr__(name):
    # The functions load pandas and cryptography with their module; `import korvane` alone
    # (for __version__, help()) should not.
    if name in _FUNCTIONS:
        from korvane.src.utils import unsealer

        return getattr(unsealer, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_FUNCTIONS])
