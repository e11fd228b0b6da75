"""velk: numpy-friendly front of the _velk extension."""
