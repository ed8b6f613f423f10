"""Builds the trie of the stored terms car, cart, cat and cut by hand and
searches it for "cat", allowing one edit."""

from _quillon import PrefixSearch

# Nodes, numbered so that every child comes after its parent:
#   0 root, 1 c, 2 ca, 3 car, 4 cart, 5 cat, 6 cu, 7 cut
# Children of node i: child_transitions[node_shifts[i] : node_shifts[i + 1]]
node_shifts = [0, 1, 3, 5, 6, 6, 6, 7]
child_transitions = [1, 2, 6, 3, 5, 4, 7]
# The character on the edge into each node ("" for the root).
child_labels = ["", "c", "a", "r", "t", "t", "u", "t"]
# A payload (total_count, video_ids, video_counts) marks a node where a stored
# term ends; video ids are positions in video_index.
payloads = [None, None, None, (3, [0], [3]), (1, [1], [1]), (5, [0, 2], [4, 1]), None, (2, [3], [2])]
# Four videos with 32-bit ids 101..104, each as 4 little-endian bytes.
video_index = [i.to_bytes(4, "little") for i in (101, 102, 103, 104)]

search = PrefixSearch.from_internal_data_v2(
    node_shifts, child_labels, payloads, child_transitions, video_index, 50
)
print(search.fuzzy_match("cat"))
