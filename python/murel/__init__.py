"""libMurelEngine from Python: the engine binding (murel.engine, numpy only), PyTorch modules
of the engine's layers and its spectral front and back end (murel.nn), the model-file exporter
(murel.export) and batch cleaning (murel.batch)."""

__version__ = "0.1.0"
