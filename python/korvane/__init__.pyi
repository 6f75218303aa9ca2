from typing import Union

import pandas

__version__: str

def decrypt_txt_to_df(key: Union[bytes, str]) -> pandas.DataFrame: ...
def get_population_density() -> pandas.DataFrame: ...
