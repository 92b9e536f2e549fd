"""A small online shop in SQLite, generated from a fixed seed.

Gives a demo or a first try something realistic to ask questions about without shipping a data
file or reaching the network: two years (2023-2024) of customers, products, orders and order
lines, with a winter peak, a Black Friday bump and slow growth, so monthly revenue charts look
like a real business. The same generator version always produces the same rows.
"""

from __future__ import annotations

import bisect
import contextlib
import os
import random
import sqlite3
import tempfile
import unicodedata
from datetime import date, timedelta
from pathlib import Path

SEED = 20230101
# Stored as PRAGMA user_version: bump it whenever the generated rows change, so cached copies
# made by an older generator are rebuilt instead of silently reused.
GENERATOR_VERSION = 1

FIRST_DAY = date(2023, 1, 1)
LAST_DAY = date(2024, 12, 31)
CUSTOMER_COUNT = 450
ORDER_COUNT = 3200
TABLES = ("customers", "products", "orders", "order_items")

SCHEMA = """
CREATE TABLE customers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    email TEXT NOT NULL UNIQUE,
    city TEXT NOT NULL,
    country TEXT NOT NULL,
    signup_date DATE NOT NULL
);
CREATE TABLE products (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    category TEXT NOT NULL,
    unit_price REAL NOT NULL CHECK (unit_price > 0)
);
CREATE TABLE orders (
    id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers (id),
    order_date DATE NOT NULL,
    status TEXT NOT NULL
        CHECK (status IN ('processing', 'shipped', 'delivered', 'cancelled', 'returned'))
);
CREATE TABLE order_items (
    id INTEGER PRIMARY KEY,
    order_id INTEGER NOT NULL REFERENCES orders (id),
    product_id INTEGER NOT NULL REFERENCES products (id),
    quantity INTEGER NOT NULL CHECK (quantity > 0),
    unit_price REAL NOT NULL CHECK (unit_price > 0)
);
CREATE INDEX idx_orders_customer ON orders (customer_id);
CREATE INDEX idx_orders_date ON orders (order_date);
CREATE INDEX idx_order_items_order ON order_items (order_id);
CREATE INDEX idx_order_items_product ON order_items (product_id);
"""

FIRST_NAMES = tuple(
    """
    Emma Liam Olivia Noah Ava Lucas Mia Leon Sofia Mateo Hannah Elias Chloe Jakub Amelia Oskar
    Lea Finn Julia Hugo Ines Arthur Clara Luca Freya Marek Nora Pablo Alice Jonas Zofia Theo
    Maya Erik Isla Tomas Elena Samuel Lina Victor
    """.split()
)
LAST_NAMES = tuple(
    """
    Smith Müller Rossi Dubois Novak Jansen García Kowalski Murphy Andersson Silva Bauer Moreau
    Horvat Nielsen Brown Fischer Romano Lambert Svoboda Peeters López Wójcik Kelly Berg Costa
    Weber Ricci Fontaine Dvořák Visser Martín Nowak Byrne Lund Pereira
    """.split()
)
# (city, country, relative share of customers)
CITIES = (
    ("London", "United Kingdom", 14),
    ("Manchester", "United Kingdom", 6),
    ("Dublin", "Ireland", 5),
    ("Berlin", "Germany", 10),
    ("Munich", "Germany", 6),
    ("Hamburg", "Germany", 4),
    ("Paris", "France", 9),
    ("Lyon", "France", 4),
    ("Madrid", "Spain", 6),
    ("Barcelona", "Spain", 5),
    ("Milan", "Italy", 5),
    ("Rome", "Italy", 4),
    ("Amsterdam", "Netherlands", 6),
    ("Rotterdam", "Netherlands", 2),
    ("Brussels", "Belgium", 3),
    ("Vienna", "Austria", 3),
    ("Prague", "Czechia", 3),
    ("Warsaw", "Poland", 4),
    ("Stockholm", "Sweden", 3),
    ("Copenhagen", "Denmark", 2),
    ("Lisbon", "Portugal", 3),
)
EMAIL_DOMAINS = ("example.com", "mail.example.org", "inbox.example.net")

# category -> (lowest price, highest price, product names)
CATALOGUE = {
    "Electronics": (
        19,
        349,
        (
            "Wireless Earbuds",
            "Bluetooth Speaker",
            "USB-C Charger",
            "Smart Watch",
            "E-Reader",
            "Noise-Cancelling Headphones",
            "Portable Power Bank",
            "Webcam HD",
        ),
    ),
    "Books": (
        8,
        39,
        (
            "Cookbook: Weeknight Dinners",
            "Mystery Novel",
            "Travel Guide: Alps",
            "Science Atlas",
            "Children's Picture Book",
            "Gardening Handbook",
            "Biography of a Composer",
        ),
    ),
    "Home & Kitchen": (
        9,
        189,
        (
            "Electric Kettle",
            "Chef's Knife",
            "Cast Iron Skillet",
            "Coffee Grinder",
            "Ceramic Mug Set",
            "Bamboo Cutting Board",
            "Stand Mixer",
            "Linen Tablecloth",
        ),
    ),
    "Toys": (
        7,
        89,
        (
            "Building Blocks Set",
            "Plush Bear",
            "Wooden Train",
            "Jigsaw Puzzle 1000",
            "Board Game: Harbour",
            "Remote Control Car",
            "Art & Craft Kit",
        ),
    ),
    "Sports": (
        12,
        229,
        (
            "Yoga Mat",
            "Running Shoes",
            "Dumbbell Pair",
            "Cycling Helmet",
            "Tennis Racket",
            "Hiking Backpack",
            "Water Bottle",
        ),
    ),
    "Clothing": (
        9,
        149,
        (
            "Wool Scarf",
            "Rain Jacket",
            "Cotton T-Shirt",
            "Denim Jeans",
            "Winter Gloves",
            "Knitted Jumper",
            "Sun Hat",
        ),
    ),
    "Beauty": (
        5,
        79,
        ("Face Cream", "Shampoo Bar", "Lip Balm Trio", "Perfume 50ml", "Hand Lotion", "Hair Dryer"),
    ),
    "Garden": (
        6,
        199,
        (
            "Seed Starter Kit",
            "Garden Hose",
            "Pruning Shears",
            "Terracotta Pots",
            "Bird Feeder",
            "Outdoor Lantern",
            "Compost Bin",
        ),
    ),
}

# Order volume by month: quiet after the holidays, a summer lift, the year-end peak.
MONTH_FACTOR = {
    1: 0.75,
    2: 0.7,
    3: 0.85,
    4: 0.9,
    5: 0.95,
    6: 1.0,
    7: 1.05,
    8: 1.0,
    9: 0.95,
    10: 1.05,
    11: 1.45,
    12: 1.7,
}
WEEKDAY_FACTOR = (0.95, 0.95, 1.0, 1.0, 1.1, 1.2, 1.05)  # Monday first
# Categories that sell far more in some months than the average product.
CATEGORY_SEASON = {
    "Toys": {11: 2.0, 12: 3.0},
    "Garden": {3: 1.8, 4: 2.2, 5: 2.2, 6: 1.6, 11: 0.4, 12: 0.3, 1: 0.3},
    "Clothing": {10: 1.4, 11: 1.5, 12: 1.6, 1: 1.3},
    "Sports": {1: 1.8, 5: 1.3, 6: 1.3},
    "Electronics": {11: 1.8, 12: 1.6},
}
PRICE_RISE_2024 = 1.05  # list prices went up at the start of 2024


def default_database_path() -> Path:
    """Where the shared copy lives: $QUORLIX_HOME, else the user's cache directory."""
    from quorlix import config

    home = config.setting("home")
    if home is not None:
        return home / "shop.db"
    cache = os.environ.get("XDG_CACHE_HOME")
    # The XDG rules say a relative value is invalid and must be ignored.
    base = Path(cache) if cache and os.path.isabs(cache) else Path.home() / ".cache"
    return base / "quorlix" / "shop.db"


def ensure_shop_database(path: str | os.PathLike[str] | None = None) -> Path:
    """Build the database once and reuse it afterwards; rebuilds a copy from another
    generator version or a damaged file."""
    target = Path(path) if path is not None else default_database_path()
    if _is_current(target):
        return target
    return build_shop_database(target)


def default_database_uri() -> str:
    """SQLAlchemy URL of the shared copy, built first if needed."""
    return f"sqlite:///{ensure_shop_database().resolve()}"


def build_shop_database(path: str | os.PathLike[str]) -> Path:
    """Write a fresh database at ``path``. Readers never see a half-built file: it is built
    under a temporary name in the same directory and renamed into place."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    handle, temp_name = tempfile.mkstemp(prefix=".shop-", suffix=".tmp", dir=target.parent)
    os.close(handle)
    try:
        with contextlib.closing(sqlite3.connect(temp_name)) as connection:
            _fill(connection)
        os.replace(temp_name, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp_name)
        raise
    return target


def _is_current(path: Path) -> bool:
    if not path.is_file():
        return False
    try:
        with contextlib.closing(
            sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)
        ) as connection:
            (version,) = connection.execute("PRAGMA user_version").fetchone()
            names = {
                row[0]
                for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
            }
    except sqlite3.DatabaseError:
        return False
    return version == GENERATOR_VERSION and names.issuperset(TABLES)


def _fill(connection: sqlite3.Connection) -> None:
    rng = random.Random(SEED)
    customers = _customers(rng)
    products = _products(rng)
    orders, items = _orders(rng, customers, products)
    connection.execute("PRAGMA foreign_keys = ON")
    connection.executescript(SCHEMA)
    connection.executemany("INSERT INTO customers VALUES (?, ?, ?, ?, ?, ?)", customers)
    connection.executemany("INSERT INTO products VALUES (?, ?, ?, ?)", products)
    connection.executemany("INSERT INTO orders VALUES (?, ?, ?, ?)", orders)
    connection.executemany("INSERT INTO order_items VALUES (?, ?, ?, ?, ?)", items)
    connection.execute(f"PRAGMA user_version = {GENERATOR_VERSION}")
    connection.commit()


def _days() -> list[date]:
    return [FIRST_DAY + timedelta(days=n) for n in range((LAST_DAY - FIRST_DAY).days + 1)]


def _customers(rng: random.Random) -> list[tuple]:
    days = _days()
    # A quarter came over from the shop's old mailing list at launch; the rest trickle in.
    signups = [FIRST_DAY] + [
        rng.choice(days[:31]) if rng.random() < 0.25 else rng.choice(days)
        for _ in range(CUSTOMER_COUNT - 1)
    ]
    signups.sort()  # ids follow signup order, as an auto-increment key would
    cities = [(city, country) for city, country, _ in CITIES]
    city_weights = [share for _, _, share in CITIES]
    emails: set[str] = set()
    rows = []
    for number, signup in enumerate(signups, start=1):
        first, last = rng.choice(FIRST_NAMES), rng.choice(LAST_NAMES)
        city, country = rng.choices(cities, weights=city_weights)[0]
        email = _unique_email(first, last, rng.choice(EMAIL_DOMAINS), emails)
        rows.append((number, f"{first} {last}", email, city, country, signup.isoformat()))
    return rows


def _unique_email(first: str, last: str, domain: str, taken: set[str]) -> str:
    local = _ascii(f"{first}.{last}".lower())
    candidate, suffix = f"{local}@{domain}", 1
    while candidate in taken:
        suffix += 1
        candidate = f"{local}{suffix}@{domain}"
    taken.add(candidate)
    return candidate


def _ascii(text: str) -> str:
    decomposed = unicodedata.normalize("NFKD", text)
    return "".join(char for char in decomposed if char.isascii())


def _products(rng: random.Random) -> list[tuple]:
    rows = []
    for category, (low, high, names) in CATALOGUE.items():
        for name in names:
            # Skewed towards the cheap end, as most catalogues are.
            price = round(int(low + (high - low) * rng.random() ** 2) + 0.99, 2)
            rows.append((len(rows) + 1, name, category, price))
    return rows


def _order_days(rng: random.Random) -> list[date]:
    days = _days()
    span = len(days) - 1
    weights = []
    for index, day in enumerate(days):
        weight = MONTH_FACTOR[day.month] * WEEKDAY_FACTOR[day.weekday()]
        weight *= 1.0 + 0.35 * index / span  # the shop grows
        if _is_black_friday_week(day):
            weight *= 2.2
        weights.append(weight)
    return sorted(rng.choices(days, weights=weights, k=ORDER_COUNT))


def _is_black_friday_week(day: date) -> bool:
    if day.month != 11:
        return False
    first_thursday = 1 + (3 - date(day.year, 11, 1).weekday()) % 7
    black_friday = first_thursday + 22
    return black_friday <= day.day <= black_friday + 3


def _status(rng: random.Random, day: date) -> str:
    age = (LAST_DAY - day).days
    if age < 3:
        return "processing"
    if age < 10:
        return "shipped" if rng.random() < 0.7 else "delivered"
    roll = rng.random()
    if roll < 0.04:
        return "cancelled"
    return "returned" if roll < 0.07 else "delivered"


def _orders(rng: random.Random, customers: list[tuple], products: list[tuple]):
    signup_days = [date.fromisoformat(row[5]) for row in customers]
    # Some customers buy far more often than others.
    loyalty = [rng.paretovariate(2.0) for _ in customers]
    cumulative = []
    total = 0.0
    for weight in loyalty:
        total += weight
        cumulative.append(total)
    popularity = [rng.uniform(0.3, 3.0) for _ in products]
    orders, items = [], []
    for order_id, day in enumerate(_order_days(rng), start=1):
        eligible = bisect.bisect_right(signup_days, day)
        customer = rng.choices(customers[:eligible], cum_weights=cumulative[:eligible])[0]
        orders.append((order_id, customer[0], day.isoformat(), _status(rng, day)))
        for product in _basket(rng, day, products, popularity):
            quantity = rng.choices((1, 2, 3, 4), weights=(70, 20, 7, 3))[0]
            items.append(
                (len(items) + 1, order_id, product[0], quantity, _price_on(day, product[3]))
            )
    return orders, items


def _basket(rng: random.Random, day: date, products: list[tuple], popularity: list[float]):
    weights = [
        share * CATEGORY_SEASON.get(product[2], {}).get(day.month, 1.0)
        for product, share in zip(products, popularity, strict=True)
    ]
    size = rng.choices((1, 2, 3, 4, 5), weights=(45, 30, 14, 7, 4))[0]
    chosen: dict[int, tuple] = {}
    while len(chosen) < size:
        product = rng.choices(products, weights=weights)[0]
        chosen.setdefault(product[0], product)
    return list(chosen.values())


def _price_on(day: date, list_price: float) -> float:
    price = list_price if day.year >= 2024 else list_price / PRICE_RISE_2024
    if _is_black_friday_week(day):
        price *= 0.85
    return round(price, 2)
