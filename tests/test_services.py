"""The project's service script brings up real, usable servers."""

import pymysql
import redis


def test_redis_answers_and_keeps_data(redis_info):
    client = redis.Redis(**redis_info)
    client.set("kestrum:smoke", "v")
    assert client.get("kestrum:smoke") == b"v"
    client.delete("kestrum:smoke")


def test_mariadb_user_can_work_in_its_database(mysql_info):
    conn = pymysql.connect(
        host=mysql_info["host"],
        port=mysql_info["port"],
        user=mysql_info["user"],
        password=mysql_info["password"],
        database=mysql_info["db"],
    )
    try:
        with conn.cursor() as cur:
            cur.execute("CREATE TABLE IF NOT EXISTS smoke (id INT PRIMARY KEY, v VARCHAR(10))")
            cur.execute("REPLACE INTO smoke VALUES (1, 'x')")
            conn.commit()
            cur.execute("SELECT v FROM smoke WHERE id = 1")
            assert cur.fetchone() == ("x",)
            cur.execute("DROP TABLE smoke")
    finally:
        conn.close()


def test_wrong_password_is_refused(mysql_info):
    import pytest

    with pytest.raises(pymysql.err.OperationalError) as err:
        pymysql.connect(
            host=mysql_info["host"],
            port=mysql_info["port"],
            user=mysql_info["user"],
            password="not-the-password",
        )
    assert err.value.args[0] == 1045
