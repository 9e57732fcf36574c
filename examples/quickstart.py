"""Build a Random Cut Forest and show it."""

import morvik3

forest = morvik3.Forest(3, seed=1)
print(f"morvik3 {morvik3.__version__}")
print(forest)
print("ready:", forest.is_ready(), "entries seen:", forest.entries_seen(), "trees:", forest.num_trees())
