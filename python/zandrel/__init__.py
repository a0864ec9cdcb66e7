"""zandrel: sample caches written once and read back epoch after epoch."""

# pyarrow first, so that the libarrow the extension links against is loaded.
import pyarrow  # noqa: F401
