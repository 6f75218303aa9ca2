"""Opens the sealed data set and parses it into a pandas DataFrame."""

from types import ModuleType
from typing import Union

import pandas
from cryptography.fernet import Fernet as Fernet

pd: ModuleType
data: bytes

def decrypt_txt_to_df(key: Union[bytes, str]) -> pandas.DataFrame:
    """Open the sealed data set with `key` and parse its CSV text."""

def get_population_density() -> pandas.DataFrame:
    """The data set, opened with the embedded key."""
