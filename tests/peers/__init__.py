"""Loopback servers the tests (and the demo) run: real HTTP peers on 127.0.0.1."""
