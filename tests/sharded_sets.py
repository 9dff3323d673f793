"""A sharded set built in one process, as any engine builds one: route the pairs by the
shard function, build each shard in a new version folder, publish."""

from vornel.sharded import build_shard, new_version, publish, shard_of


def build_set(directory, pairs, shards):
    version = new_version(directory)
    routed = {}
    for key, value in pairs:
        routed.setdefault(shard_of(key, shards), []).append((key, value))
    entries = [build_shard(routed[i], version, i) for i in sorted(routed)]
    return publish(directory, version, shards, entries)
