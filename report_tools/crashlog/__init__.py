"""Reads the reporter's text crash logs: parses, summarises, signs and
symbolizes them (python3 -m crashlog --help)."""
