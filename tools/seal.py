"""Seal the data set into one Fernet token, or check that a token opens to it.

    python tools/seal.py            # data/population_density.csv -> data/population_density.token
    python tools/seal.py --check    # the token opens to the CSV, byte for byte, under the key

The key must be the one embedded in the unsealer module.
"""

import argparse
import pathlib
import sys

from cryptography.fernet import Fernet, InvalidToken

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
KEY = "Xq3mT8vWp2ZcRb7KyN4hJd6sGf9LeA1uVo5iHw0tMkE="


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--key", default=KEY)
    parser.add_argument("--input", type=pathlib.Path, default=DATA / "population_density.csv")
    parser.add_argument("--output", type=pathlib.Path, default=DATA / "population_density.token")
    parser.add_argument("--check", action="store_true", help="verify instead of sealing")
    args = parser.parse_args()

    fernet = Fernet(args.key.encode())
    plaintext = args.input.read_bytes()
    if args.check:
        try:
            opened = fernet.decrypt(args.output.read_bytes())
        except InvalidToken:
            sys.exit(f"{args.output} does not open under this key")
        if opened != plaintext:
            sys.exit(f"{args.output} does not open to {args.input}")
        print(f"{args.output} opens to {args.input}")
        return
    args.output.write_bytes(fernet.encrypt(plaintext))
    print(f"{args.output}: {args.output.stat().st_size} bytes")


if __name__ == "__main__":
    main()
