"""Home of the extension modules ``sealedset`` (the sealed token) and ``unsealer``."""
