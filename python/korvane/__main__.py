"""python -m korvane: open the sealed data set and summarise what it holds."""

import argparse
import sys

import korvane

AREA = "area_km2"
DENSITY = "density_per_km2"


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m korvane",
        description="Open the population-density data set sealed in korvane and summarise it: "
                    "its extent, the totals of one year, and the densest and least dense places.",
        epilog="In Python: from korvane import get_population_density; "
               "df = get_population_density()")
    parser.add_argument("--version", action="version", version=f"korvane {korvane.__version__}")
    parser.add_argument("--year", type=int, help="the year to summarise (default: the latest)")
    parser.add_argument("--top", type=int, default=5, metavar="N",
                        help="how many of the densest and least dense places to list (default: 5)")
    return parser.parse_args(argv)


def summary(df, year, top):
    """The lines that describe `df`, with the places of `year` ranked by density."""
    places = df.drop_duplicates("iso3")
    lines = [
        f"korvane {korvane.__version__}: population density of {len(places)} countries and "
        f"areas, {df.year.min()} to {df.year.max()} ({len(df):,} rows)",
        f"columns: {', '.join(map(str, df.columns))}",
    ]
    rows = df[df.year == year]
    population, area = rows.population.sum(), rows[AREA].sum()
    lines += [
        "",
        f"{year}: {len(rows)} places, {population:,} persons on {area:,.0f} km², "
        f"{population / area:,.1f} per km² overall, median place {rows[DENSITY].median():,.1f}",
    ]
    shown = ["iso3", "location", "population", AREA, DENSITY]
    for title, ranked in (("densest", rows.nlargest(top, DENSITY)),
                          ("least dense", rows.nsmallest(top, DENSITY))):
        lines += ["", f"{title} in {year}:", ranked[shown].to_string(index=False)]
    return lines


def main(argv=None):
    args = parse_args(argv)
    df = korvane.get_population_density()
    year = df.year.max() if args.year is None else args.year
    if not (df.year == year).any():
        sys.exit(f"python -m korvane: no figures for {year}; "
                 f"the data set covers {df.year.min()} to {df.year.max()}")
    print("\n".join(summary(df, year, max(args.top, 0))))


if __name__ == "__main__":
    main()
