"""Veltra: fast, exact partial least squares statistics."""
