"""Parsers and merge rules for the sources of the bundled dictionary.

One small parser per source format (``standard``, ``private``), the rows they
return (``rows``), and the rules that turn them into one record per lookup
key (``merge``). ``tools/gen_default_dict.py`` drives them; the rules are
described in ``docs/default-dictionary.md``.
"""
