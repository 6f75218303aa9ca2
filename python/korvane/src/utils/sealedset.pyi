"""The population-density data set as one sealed Fernet token."""

data: bytes
