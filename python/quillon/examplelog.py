"""``quillon.examplelog``, where it has always been documented: the example
search log (``quillon.example``)."""

from quillon.example import DEFAULT_ROWS, DEFAULT_SEED, LogSummary, load_words, make_search_log, word_list_path

__all__ = ["DEFAULT_ROWS", "DEFAULT_SEED", "LogSummary", "load_words", "make_search_log", "word_list_path"]
