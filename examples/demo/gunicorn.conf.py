"""gunicorn settings of the demo: two worker processes with a few threads each.

gunicorn -c examples/demo/gunicorn.conf.py
"""

import os
import subprocess
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))

wsgi_app = "app:app"
chdir = _HERE
bind = os.environ.get("KESTRUM_DEMO_BIND", "127.0.0.1:18080")
workers = 2
worker_class = "gthread"
threads = 4
keepalive = 5
timeout = 30
graceful_timeout = 5
proc_name = "kestrum-demo"


def on_starting(server):
    # Tables and policy are set up once, before any worker starts, in a process of its
    # own: the master then forks without connections or threads of its own.
    rc = subprocess.run([sys.executable, os.path.join(_HERE, "prepare.py")], cwd=_HERE).returncode
    if rc != 0:
        sys.exit("kestrum demo: start-up step failed (see the message above)")
