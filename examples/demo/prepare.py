"""Start-up step of the demo: creates and seeds its tables and resets its access policy.

gunicorn runs it once, before the workers start (gunicorn.conf.py, on_starting), in a
process of its own so that the master forks its workers without open connections or
threads. Running it again restores the demo's starting state: bob has no role.

    python examples/demo/prepare.py
"""

from __future__ import annotations

import sys

import demo_config
from demo_services import (
    ADMIN_ROLE,
    DEMO_USERS,
    ORDERS_TABLE,
    POLICIES,
    USERS_TABLE,
    VIEWER_ROLE,
    ServiceFailure,
    Services,
    password_hash,
)

ORDERS = [
    ("alice", "espresso beans", 12, 1450),
    ("bob", "espresso beans", 3, 1450),
    ("bob", "milk frother", 1, 3900),
    ("carol", "paper filters", 25, 350),
    ("carol", "grinder", 1, 12900),
    ("dave", "mugs", 7, 800),
]


def prepare(services: Services) -> list[str]:
    done: list[str] = []
    db = services.get("db")
    with services.using("db"):
        db.safe_execute_sql_with_conn(
            f"CREATE TABLE IF NOT EXISTS {ORDERS_TABLE} (id INT AUTO_INCREMENT PRIMARY KEY, "
            "customer VARCHAR(50) NOT NULL, item VARCHAR(50) NOT NULL, qty INT NOT NULL, "
            "price_cents INT NOT NULL)",
            {},
            is_read=False,
        )
        db.safe_execute_sql_with_conn(
            f"CREATE TABLE IF NOT EXISTS {USERS_TABLE} (name VARCHAR(50) PRIMARY KEY, "
            "pw_hash CHAR(64) NOT NULL)",
            {},
            is_read=False,
        )
        db.safe_execute_sql_with_conn(f"DELETE FROM {ORDERS_TABLE}", {}, is_read=False)
        for customer, item, qty, price in ORDERS:
            db.safe_execute_sql_with_conn(
                f"INSERT INTO {ORDERS_TABLE} (customer, item, qty, price_cents) "
                "VALUES (%(customer)s, %(item)s, %(qty)s, %(price)s)",
                {"customer": customer, "item": item, "qty": qty, "price": price},
                is_read=False,
            )
        for name, password in DEMO_USERS.items():
            db.safe_execute_sql_with_conn(
                f"REPLACE INTO {USERS_TABLE} (name, pw_hash) VALUES (%(name)s, %(h)s)",
                {"name": name, "h": password_hash(name, password)},
                is_read=False,
            )
    done.append(f"tables {ORDERS_TABLE} ({len(ORDERS)} orders) and {USERS_TABLE} seeded")

    cache = services.get("cache")
    with services.using("cache"), cache.with_conn() as rc:
        rc.ping()
    rbac = services.get("rbac")
    with services.using("cache"):
        # Changes publish on the reload channel, so running workers follow them too.
        rbac.set_auto_reload(cache)
    with services.using("rbac"):
        for rule in POLICIES:
            rbac.add_policy(*rule)
        rbac.add_role_for_user("alice", ADMIN_ROLE)
        rbac.delete_role_for_user("bob", VIEWER_ROLE)
    done.append(f"policy reset: alice is {ADMIN_ROLE}, bob has no role")
    return done


def main() -> int:
    try:
        services = Services()
        for line in prepare(services):
            print(f"demo prepare: {line}", flush=True)
    except (ServiceFailure, demo_config.ConfigError) as exc:
        print(f"demo prepare: {exc}", file=sys.stderr, flush=True)
        return 1
    services.container.shutdown_resources()
    return 0


if __name__ == "__main__":
    sys.exit(main())
