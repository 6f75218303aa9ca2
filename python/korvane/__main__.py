"""python -m korvane: open the sealed data set and show what it holds."""

from korvane.src.utils.unsealer import get_population_density


def main() -> None:
    df = get_population_density()
    rows, columns = df.shape
    print(f"population density data set: {rows:,} rows x {columns} columns")
    print("columns:", ", ".join(map(str, df.columns)))
    density = next((c for c in df.columns if "density" in str(c).lower()), None)
    if density is not None:
        print(f"\nthe ten densest rows by {density}:")
        print(df.nlargest(10, density).to_string(index=False))


if __name__ == "__main__":
    main()
