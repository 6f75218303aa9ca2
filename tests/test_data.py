"""The committed data set and its sealed token belong together."""

import csv

from cryptography.fernet import Fernet

from conftest import CSV, KEY, TOKEN


def test_token_opens_to_the_csv_byte_for_byte():
    assert Fernet(KEY).decrypt(TOKEN.read_bytes()) == CSV.read_bytes()


def test_every_row_carries_a_readable_density():
    with CSV.open(encoding="utf-8", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) > 10_000
    for row in rows:
        population, area = int(row["population"]), float(row["area_km2"])
        assert population > 0 and area > 0 and len(row["iso3"]) == 3 and row["location"]
        assert row["density_per_km2"] == f"{population / area:.3f}"
