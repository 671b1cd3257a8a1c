"""Helpers the fixtures are built from; tests reach them through the
fixtures in the conftest files, never by importing them."""
