"""python -m korvane: show the sealed data set."""

from korvane.src.utils import sealedset


def main() -> None:
    print(f"sealed data set: {len(sealedset.data):,} bytes")


if __name__ == "__main__":
    main()
