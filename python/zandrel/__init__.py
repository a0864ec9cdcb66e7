"""zandrel: sample caches written once and read back epoch after epoch.

    runtime = zandrel.Zandrel(num_workers=4)
    zandrel.write_cache(runtime, sources, base_cache_dir, writer_config, reuse_existing=True)
    dataset = zandrel.CachedDataset(runtime, paths, seed=0, prefetch_size=8,
                                    shuffle=True, validate_cache=False)
    for payload, metadata, cache_index, index_in_cache in dataset: ...
"""

from zandrel._zandrel import CachedDataset, Zandrel, validate_source_paths, write_cache

__all__ = ["write_cache", "validate_source_paths", "Zandrel", "CachedDataset"]
