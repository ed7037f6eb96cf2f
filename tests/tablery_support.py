"""Fixtures shared by the tablery tests: a database of their own on the shared MariaDB,
a logger that keeps its records, and direct admin access for checking what was stored."""

from __future__ import annotations

import logging
import os
import uuid

import pymysql
import pytest

from kestrum.service.tablery import ServiceMysql

__all__ = ["admin", "db_info", "clean_items", "logged", "service"]


class Records(logging.Handler):
    def __init__(self, on_warning=None) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self.on_warning = on_warning

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)
        if record.levelno == logging.WARNING and self.on_warning is not None:
            self.on_warning(record)

    @property
    def warnings(self) -> list[str]:
        return [r.getMessage() for r in self.records if r.levelno == logging.WARNING]


def make_logger() -> tuple[logging.Logger, Records]:
    logger = logging.Logger(f"tablery-test-{uuid.uuid4().hex[:8]}", logging.DEBUG)
    handler = Records()
    logger.addHandler(handler)
    return logger, handler


class Admin:
    """Autocommit admin connection to the shared server."""

    def __init__(self, settings: dict[str, object]) -> None:
        self.settings = settings
        self.conn = pymysql.connect(autocommit=True, **settings)

    def run(self, sql: str, args=None) -> tuple:
        with self.conn.cursor() as cur:
            cur.execute(sql, args)
            return cur.fetchall()

    def close(self) -> None:
        self.conn.close()


@pytest.fixture(scope="module")
def admin(mysql_admin):
    a = Admin(mysql_admin)
    yield a
    a.close()


@pytest.fixture(scope="module")
def db_info(admin, mysql_info) -> dict[str, object]:
    """A database of this module's own (the test user may use it), dropped afterwards."""
    name = f"kestrum_tablery_{os.getpid()}_{uuid.uuid4().hex[:6]}"
    admin.run(f"CREATE DATABASE `{name}`")
    admin.run(f"GRANT ALL PRIVILEGES ON `{name}`.* TO %s@'%%'", (mysql_info["user"],))
    admin.run(
        f"CREATE TABLE `{name}`.tablery_items "
        "(id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(100) NOT NULL,"
        " qty INT NOT NULL DEFAULT 0)"
    )
    admin.run(f"CREATE TABLE `{name}`.tablery_log (line VARCHAR(100))")  # no primary key
    yield {**mysql_info, "db": name}
    admin.run(f"DROP DATABASE IF EXISTS `{name}`")


@pytest.fixture
def clean_items(admin, db_info):
    admin.run(f"DELETE FROM `{db_info['db']}`.tablery_items")
    return db_info


@pytest.fixture
def logged():
    return make_logger()


@pytest.fixture
def service(clean_items, logged):
    return ServiceMysql(dict(clean_items), logged[0])


def item_names(admin: Admin, db: str) -> list[str]:
    return [r[0] for r in admin.run(f"SELECT name FROM `{db}`.tablery_items ORDER BY id")]
