"""Session files: one JSON document per line, plain or gzip-compressed
(possibly several gzip members one after another, as the recorder writes them).

docs/session-format.md is the reference; in short:

- line 1, the header: ``{"format": "pymach-session", "version": 2, "start": ...,
  "config": {...}, "universe": [...], "orders": [...], "meta": {...}}``;
  ``version`` is the major version: a newer one is refused, unknown keys are
  ignored everywhere;
- every further line is a callback ``{"t", "cb", "rec", "x", "args", "recv"}``,
  a host order ``{"t", "cb": "$order", "client_order_id", "order"}`` or the
  end of the session ``{"t", "cb": "$end"}``;
- since minor version 1, ``{"t", "cb": "$shape", "shape", "of", "names", "tagged"}``
  declares a record shape, and a row ``[shape, t, recv, value...]`` is a
  callback taking just a record, its values in the order of ``names``
  (tagged at the positions in ``tagged``, plain JSON elsewhere);
- since minor version 2, the tagged value ``{"$other": text}`` stands for a
  member outside those the bridge tells apart (read as an object equal to
  nothing else, on any SDK).

In version 2 ``rec`` holds the record's attributes whose values are plain JSON
(taken as they are: a text is always a text) and ``x`` the others, encoded
with tags (enumeration members by name, nested records, tuples...). So the
reader does no work per plain attribute. Version 1 put everything in ``rec``
with the tagged rules; it is still read.

The modules, in the order the data flows: ``schema`` (the format's names and
callbacks), ``codec`` (records, members, tagged values), ``entries`` (what a
line decodes into), ``lines`` (decoding a body line), ``header``, ``reader``;
and for writing ``encoder`` (callbacks to lines) and ``writer`` (the file).
"""
