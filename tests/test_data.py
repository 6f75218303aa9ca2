"""The committed data set: its sealed token, its arithmetic and its areas against published figures."""

import csv
import re

import pytest
from cryptography.fernet import Fernet

from conftest import KEY, TOKEN


@pytest.fixture(scope="module")
def rows(csv_file):
    with csv_file.open(encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


def test_token_opens_to_the_csv_byte_for_byte(csv_file):
    assert Fernet(KEY).decrypt(TOKEN.read_bytes()) == csv_file.read_bytes()


def test_every_row_carries_a_readable_density(rows):
    assert len(rows) > 10_000
    for row in rows:
        population, area = int(row["population"]), float(row["area_km2"])
        # data/README.md: rows under 25,000 persons are left out; areas to 0.1 km².
        assert population >= 25_000 and re.fullmatch(r"\d+\.\d", row["area_km2"]) and area > 0
        assert len(row["iso3"]) == 3 and row["location"]
        assert row["density_per_km2"] == f"{population / area:.3f}"


# Land areas as their own statistics offices or standard references publish them, large places
# and small; the tolerance allows for the year and the rounding of the figure.
REFERENCE_AREAS = [
    ("USA", 9_147_593, "US Census Bureau, land area (3,531,905 sq mi)", 0.01),
    ("CAN", 8_965_121, "Statistics Canada, 2011 Census land area", 0.02),
    ("AUS", 7_688_287, "Geoscience Australia, mainland", 0.01),
    ("IND", 2_973_190, "World Bank WDI land area (FAO)", 0.01),
    ("FRA", 543_940, "INSEE, metropolitan France", 0.02),
    ("MAR", 446_550, "UN Demographic Yearbook, without Western Sahara", 0.02),
    ("BGD", 130_170, "World Bank WDI land area (FAO)", 0.02),
    ("GUF", 83_533.9, "INSEE, Comparateur de territoires 2021", 0.01),
    ("NLD", 33_700, "CBS (Statistics Netherlands), land without inland and coastal water", 0.02),
    ("PSE", 6_020, "PCBS: West Bank 5,655, Gaza Strip 365", 0.02),
    ("HKG", 1_111, "Hong Kong Lands Department", 0.05),
    ("SGP", 728.6, "Singapore Department of Statistics, 2021", 0.05),
    ("TCA", 616.3, "Encyclopaedia Britannica, at high tide", 0.02),
    ("MLT", 316, "National Statistics Office Malta", 0.02),
    ("ABW", 180, "Central Bureau of Statistics Aruba", 0.02),
    ("LIE", 160.5, "Amt für Statistik Liechtenstein", 0.02),
    ("SMR", 61.2, "Ufficio Informatica, Tecnologia, Dati e Statistica San Marino", 0.02),
    ("BMU", 53.2, "Bermuda Department of Statistics", 0.05),
    ("SXM", 34, "Department of Statistics Sint Maarten", 0.05),
    ("MAC", 32.9, "DSEC (Macao Statistics and Census Service), 2019", 0.05),
    ("GIB", 6.8, "HM Government of Gibraltar", 0.05),
    ("MCO", 2.02, "Monaco Statistics (IMSEE)", 0.05),
]


@pytest.mark.parametrize("iso3, published, source, tolerance", REFERENCE_AREAS,
                         ids=[r[0] for r in REFERENCE_AREAS])
def test_area_agrees_with_the_published_figure(rows, iso3, published, source, tolerance):
    areas = {float(row["area_km2"]) for row in rows if row["iso3"] == iso3}
    assert len(areas) == 1, f"{iso3}: one area for every year, not {sorted(areas)}"
    area = areas.pop()
    assert abs(area / published - 1) <= tolerance, f"{iso3}: {area} km², published {published} km² ({source})"
