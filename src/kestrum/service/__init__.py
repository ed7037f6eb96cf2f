"""The service modules: native extension modules, one per service."""
