"""The probe network of the start_boce plug-in: the dispatch center and its node agents."""

__version__ = "2.0.0"
