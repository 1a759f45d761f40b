"""Generated orders in the shape of examples/orders.csv, for the Dask test and the benchmark."""
import numpy as np
import pandas as pd

CUSTOMERS = ["François Lefèvre", "jamal  wright", "Greta Nilsson", "Bob Dupont ", "Zoë Ångström", "李小龙",
             "Ayşe Yılmaz", "O'Brien, Pat"]
COUNTRIES = ["DE", "FR", "GB", "IT", "ES", "US", "NL"]
CODES = ["", "", "VIP20", "SPRING10", "WELCOME5", "BOGUS"]
STATUSES = ["pending", "shipped", "delivered", "cancelled"]
FIELDS = {"order_id": "string", "customer": "string", "country": "string", "order_date": "string",
          "qty": "integer", "unit_price": "real", "discount_code": "string", "status": "string"}
# How exprun is told the same types: every other column is a string there too.
EXPRUN_FIELDS = ["--field", "qty:integer", "--field", "unit_price:real"]


def make_orders(rows, seed=18):
    """`rows` orders as a DataFrame of the types read_options() reads; the same seed gives the
    same orders."""
    rng = np.random.default_rng(seed)
    days = np.datetime64("2026-01-01") + rng.integers(0, 365, rows).astype("timedelta64[D]")
    return pd.DataFrame({
        "order_id": np.arange(1001, 1001 + rows),
        "customer": rng.choice(CUSTOMERS, rows),
        "country": rng.choice(COUNTRIES, rows),
        "order_date": np.datetime_as_string(days),
        "qty": rng.integers(1, 12, rows),
        "unit_price": rng.integers(99, 99_999, rows) / 100,
        "discount_code": rng.choice(CODES, rows),
        "status": rng.choice(STATUSES, rows),
    })


def write_orders(path, rows, seed=18):
    """Writes `rows` orders as CSV to `path`; the same seed gives the same file."""
    make_orders(rows, seed).to_csv(path, index=False)


def read_options():
    """pandas/Dask read_csv options that read the file as exprun does: strings as written
    (empty stays empty), prices to the double whose shortest text is the one in the file."""
    dtypes = {name: "int64" if t == "integer" else "float64" if t == "real" else str for name, t in FIELDS.items()}
    return {"dtype": dtypes, "keep_default_na": False, "float_precision": "round_trip"}
