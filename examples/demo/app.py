"""The kestrum demo application: a small shop back end on Flask, served by gunicorn.

Each worker process builds its own container from demo.yaml (all six service types),
connects the policy service to Redis once (set_auto_reload), and serves:

    GET  /health         liveness; ?deep=1 also checks every service it uses
    POST /login          {"username", "password"} -> a JWT from the "jwt" service
    GET  /me             the caller, its roles and whether this worker lets it read orders
    GET  /orders         bearer token, casbin check, rows from MySQL, a call to the
                         stock peer, a PNG chart uploaded to object storage -> its URL
    POST /admin/grant    {"user", "role"} (admins only): the grant reaches every worker
                         process through the policy reload channel
    POST /signed         a parameter dictionary signed with ServiceParamsign

Run it with gunicorn (see gunicorn.conf.py, or scripts/demo for the whole flow).
"""

from __future__ import annotations

import hmac
import os
import tempfile
import time
import uuid
from typing import Any

import pngchart
from demo_services import (
    ORDERS_TABLE,
    USERS_TABLE,
    ApiError,
    ServiceFailure,
    Services,
    password_hash,
)
from flask import Flask, g, jsonify, request
from werkzeug.exceptions import HTTPException

from kestrum.service._sealcheck import ServiceParamsign
from kestrum.util import ExceptionAuthFailed

WORKERS_KEY = "kestrum-demo:workers:{}"  # per gunicorn master: the workers that are ready


def _plain(value: Any) -> Any:
    """numpy scalars from a data frame as plain Python values, for JSON."""
    return value.item() if hasattr(value, "item") else value


def create_app(config_path: str | None = None) -> Flask:
    services = Services(config_path)
    container = services.container
    project_name = container.config.project_name()
    logger = container.logger()
    contextvar_g = container.contextvar_g()

    # Singletons are built now, so a missing server stops the worker at boot with a
    # message naming it, rather than failing the first requests.
    db = services.get("db")
    cache = services.get("cache")
    rbac = services.get("rbac")
    cdn = services.get("cdn")
    with services.using("cache"):
        rbac.set_auto_reload(cache)  # once per process: this worker's reload watcher
        with cache.with_conn() as rc:
            key = WORKERS_KEY.format(os.getppid())
            rc.hset(key, str(os.getpid()), str(time.time()))
            rc.expire(key, 24 * 3600)
    paramsign = ServiceParamsign(services.sign_info())
    logger.info({"event": "worker_ready", "pid": os.getpid()})

    app = Flask("kestrum-demo")

    def reply(payload: dict[str, Any], status: int = 200):
        payload = {**payload, "pid": os.getpid(), "traceid": g.get("traceid")}
        return jsonify(payload), status

    # -- request context -------------------------------------------------------------
    @app.before_request
    def set_request_context() -> None:
        auth = request.headers.get("Authorization", "")
        token = auth[len("Bearer ") :].strip() if auth.startswith("Bearer ") else ""
        g.traceid = request.headers.get("vek-traceid") or uuid.uuid4().hex
        g.ctx = {
            "vek_traceid": g.traceid,
            "vek_myapp": project_name,
            "vek_myip": request.remote_addr or "",
            "vek_username": "",
            "vek_path": request.path,
        }
        if token:  # forwarded by ServiceHpptClient as the bearer header
            g.ctx["vek_accesstoken"] = token
        g.ctx_token = contextvar_g.set(g.ctx)

    @app.teardown_request
    def clear_request_context(_exc: BaseException | None) -> None:
        token = g.pop("ctx_token", None)
        if token is not None:
            contextvar_g.reset(token)

    # -- errors ----------------------------------------------------------------------
    @app.errorhandler(ApiError)
    def api_error(exc: ApiError):
        logger.warning({"event": "refused", "status": exc.status, "reason": str(exc)})
        return reply({"error": str(exc)}, exc.status)

    @app.errorhandler(ServiceFailure)
    def service_failure(exc: ServiceFailure):
        logger.warning({"event": "service_failure", "service": exc.member, "reason": str(exc)})
        return reply({"error": str(exc), "service": exc.member}, 503)

    @app.errorhandler(HTTPException)
    def http_error(exc: HTTPException):
        return reply({"error": exc.description or exc.name}, exc.code or 500)

    # -- authentication and authorization --------------------------------------------
    def current_user() -> str:
        token = g.ctx.get("vek_accesstoken")
        if not token:
            raise ApiError(401, "missing bearer token")
        try:
            user = container.jwt().verify_access_token(token)
        except ExceptionAuthFailed:
            raise ApiError(401, "invalid or expired token") from None
        g.ctx["vek_username"] = user
        return user

    def require(obj: str, act: str) -> str:
        user = current_user()
        with services.using("rbac"):
            allowed = rbac.enforce(user, obj, act)
        if not allowed:
            raise ApiError(403, f"{user} may not {act} {obj}")
        return user

    def json_body() -> dict[str, Any]:
        body = request.get_json(silent=True)
        if not isinstance(body, dict):
            raise ApiError(400, "expected a JSON object")
        return body

    # -- endpoints -------------------------------------------------------------------
    @app.get("/health")
    def health():
        with services.using("cache"), cache.with_conn() as rc:
            workers = rc.hlen(WORKERS_KEY.format(os.getppid()))
        result: dict[str, Any] = {"status": "ok", "workers": workers}
        if request.args.get("deep"):

            def ping_cache() -> None:
                with cache.with_conn() as rc:
                    rc.ping()

            checks = {
                "db": lambda: db.safe_execute_sql_with_conn("SELECT 1 AS one", {}),
                "cache": ping_cache,
                "rbac": lambda: rbac.enforce("nobody", "/health", "GET"),
                "stock": lambda: container.stock().call("/stock", {"items": ["probe"]}, None, 3),
                "cdn": lambda: cdn.get_oss_url("health/absent"),
            }
            report = {}
            for member, check in checks.items():
                try:
                    with services.using(member):
                        check()
                    report[member] = "ok"
                except ServiceFailure as exc:
                    report[member] = str(exc)
            result["services"] = report
            if any(v != "ok" for v in report.values()):
                result["status"] = "degraded"
                return reply(result, 503)
        return reply(result)

    @app.post("/login")
    def login():
        body = json_body()
        name, password = body.get("username"), body.get("password")
        if not isinstance(name, str) or not isinstance(password, str):
            raise ApiError(400, "username and password are required")
        with services.using("db"), db.with_conn() as conn:
            rows = db.safe_read_sql(
                f"SELECT pw_hash FROM {USERS_TABLE} WHERE name = %(name)s", {"name": name}, conn
            )
        known = "" if rows.empty else str(rows.iloc[0]["pw_hash"])
        if not hmac.compare_digest(known, password_hash(name, password)) or not known:
            raise ApiError(401, "unknown user or wrong password")
        g.ctx["vek_username"] = name
        token = container.jwt().create_access_token(name)
        logger.info({"event": "login", "user": name})
        return reply({"user": name, "token": token})

    @app.get("/orders")
    def orders():
        user = require("/orders", "GET")
        customer = request.args.get("customer")
        sql = f"SELECT id, customer, item, qty, price_cents FROM {ORDERS_TABLE}"
        params: dict[str, Any] = {}
        if customer:
            sql += " WHERE customer = %(customer)s"
            params["customer"] = customer
        with services.using("db"):
            frame = db.safe_execute_sql_with_conn(sql + " ORDER BY id", params)
        rows = [{k: _plain(v) for k, v in row.items()} for row in frame.to_dict("records")]
        totals: dict[str, int] = {}
        for row in rows:
            totals[row["item"]] = totals.get(row["item"], 0) + int(row["qty"])

        with services.using("stock"):
            stock = container.stock().call("/stock", {"items": sorted(totals)})

        chart = pngchart.bar_chart([totals[k] for k in sorted(totals)])
        with tempfile.TemporaryDirectory(prefix="kestrum-demo-") as tmp:
            path = os.path.join(tmp, "orders-chart.png")
            with open(path, "wb") as fh:
                fh.write(chart)
            with services.using("cdn"):
                name = cdn.upload(path, path="charts")
                url = cdn.get_oss_url(name, 600)
        logger.info({"event": "orders", "user": user, "rows": len(rows), "chart": name})
        return reply(
            {
                "user": user,
                "orders": rows,
                "totals": totals,
                "stock": stock,
                "chart": {"name": name, "url": url, "bytes": len(chart)},
            }
        )

    @app.get("/me")
    def me():
        # Cheap: tells which worker answered and what its in-memory policy says.
        user = current_user()
        with services.using("rbac"):
            roles = sorted(rbac.get_roles_for_user(user))
            may_read = rbac.enforce(user, "/orders", "GET")
        return reply({"user": user, "roles": roles, "orders_allowed": bool(may_read)})

    @app.post("/admin/grant")
    def grant():
        admin = require("/admin/grant", "POST")
        body = json_body()
        user, role = body.get("user"), body.get("role")
        if not isinstance(user, str) or not isinstance(role, str) or not user:
            raise ApiError(400, "user and role are required")
        with services.using("rbac"):
            try:
                changed = rbac.add_role_for_user(user, role)
            except Exception as exc:
                if str(exc).startswith("role must start with G-"):
                    raise ApiError(400, str(exc)) from None
                raise
            roles = sorted(rbac.get_roles_for_user(user))
        logger.info({"event": "grant", "admin": admin, "user": user, "role": role})
        return reply({"user": user, "role": role, "changed": bool(changed), "roles": roles})

    @app.post("/signed")
    def signed():
        body = json_body()
        try:
            params = paramsign.confirm_sign(body)
        except ExceptionAuthFailed:
            raise ApiError(401, "signature check failed (tampered, expired or unsigned)") from None
        g.ctx["vek_username"] = str(params.get("user_name", ""))
        logger.info({"event": "signed", "params": params})
        return reply({"verified": params})

    return app


app = create_app()
