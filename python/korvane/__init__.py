"""A population-density data set shipped sealed inside two CPython extension modules."""
