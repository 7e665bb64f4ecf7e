"""Distinct counts in DuckDB SQL, through vantorelle's DuckDB extension.

``connect()`` opens a DuckDB connection with the extension loaded; ``load``
loads it into a connection you opened yourself; ``extension_path()`` names
the file, for ``LOAD '<path>'`` from the DuckDB command line or another
language. The extension adds

    vantorelle_sketch(value [, normal_precision [, sparse_precision]])  aggregate -> BLOB
    vantorelle_merge(sketch)                                            aggregate -> BLOB
    vantorelle_estimate(sketch)             -> BIGINT
    vantorelle_bounds(sketch, confidence)   -> STRUCT(lower BIGINT, upper BIGINT)
    vantorelle_union(a, b), vantorelle_intersection(a, b) -> BIGINT
    vantorelle_jaccard(a, b)                -> DOUBLE
    vantorelle_describe(sketch)             -> STRUCT(value_type, normal_precision, ...)

The aggregates are DuckDB aggregates: GROUP BY, GROUPING SETS, FILTER and
window frames (``OVER (ORDER BY day ROWS BETWEEN 6 PRECEDING AND CURRENT
ROW)``) work as with sum().

The extension is not signed by DuckDB's publishers, so DuckDB loads it only
into a database opened with ``allow_unsigned_extensions``; that setting lets
any unsigned extension load into that database. ``connect()`` sets it on the
database it opens, and nowhere else.

Importing this module imports nothing beyond the standard library; duckdb is
imported by the functions that need it.
"""

from __future__ import annotations

import os
import warnings
from pathlib import Path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["connect", "extension_path", "load", "register"]

# Names another build of the extension (a sanitized one, a developer's tree):
# extension_path() gives it instead of the one installed with the package.
EXTENSION_ENVIRONMENT_VARIABLE = "VANTORELLE_DUCKDB_EXTENSION"
_FILE_NAME = "vantorelle.duckdb_extension"


def extension_path() -> str:
    """The file of vantorelle's DuckDB extension: $VANTORELLE_DUCKDB_EXTENSION
    when set, else the one installed inside this package."""
    chosen = os.environ.get(EXTENSION_ENVIRONMENT_VARIABLE)
    if chosen:
        if not os.path.isfile(chosen):
            raise FileNotFoundError(
                f"{EXTENSION_ENVIRONMENT_VARIABLE} names {chosen!r}, which is not a file"
            )
        return chosen
    installed = Path(__file__).with_name(_FILE_NAME)
    if not installed.is_file():
        raise FileNotFoundError(
            f"vantorelle's DuckDB extension is not installed ({installed} is missing): this "
            "build was made with VANTORELLE_BUILD_DUCKDB=OFF; rebuild with it ON, or set "
            f"{EXTENSION_ENVIRONMENT_VARIABLE} to the extension's file"
        )
    return str(installed)


def _load_statement() -> str:
    return "LOAD '" + extension_path().replace("'", "''") + "'"


def load(connection: Any) -> Any:
    """Loads the extension into `connection` (every connection to its
    database sees the functions) and returns it.

    The database must have been opened with allow_unsigned_extensions:
    ``duckdb.connect(database, config={"allow_unsigned_extensions": True})``,
    or ``vantorelle.duckdb.connect()``, which does so. DuckDB accepts that
    setting only when a database is opened."""
    import duckdb

    if not isinstance(connection, duckdb.DuckDBPyConnection):
        raise TypeError(f"expected a DuckDB connection, not {type(connection).__qualname__}")
    allowed = connection.execute(
        "SELECT current_setting('allow_unsigned_extensions')"
    ).fetchall()[0][0]
    if not allowed:
        raise duckdb.PermissionException(
            "this DuckDB database was opened without allow_unsigned_extensions, so it cannot load "
            "vantorelle's extension (which DuckDB's publishers have not signed); DuckDB takes the "
            "setting only when a database is opened: use vantorelle.duckdb.connect(database), or "
            "duckdb.connect(database, config={'allow_unsigned_extensions': True}) and then "
            "vantorelle.duckdb.load(connection). The setting lets any unsigned extension load "
            "into that database."
        )
    connection.execute(_load_statement())
    return connection


def connect(database: str = ":memory:", **config: Any) -> Any:
    """A DuckDB connection to `database` (a file, or ":memory:") with the
    extension loaded; `config` is DuckDB's configuration (threads=2,
    memory_limit="1GB", ...). The database is opened with
    allow_unsigned_extensions, which lets any unsigned extension load into
    it (and into no other database)."""
    import duckdb

    # (as DuckDB reads a boolean setting: True, 1, "true")
    if str(config.get("allow_unsigned_extensions", True)).strip().lower() not in ("true", "1"):
        raise ValueError(
            "connect() opens the database with allow_unsigned_extensions, which the extension "
            "needs; open it with duckdb.connect() to keep that setting off (the extension then "
            "cannot be loaded)"
        )
    settings = dict(config, allow_unsigned_extensions=True)
    connection = duckdb.connect(database, config=settings)
    try:
        connection.execute(_load_statement())
    except BaseException:
        connection.close()
        raise
    return connection


def register(connection: Any) -> Any:
    """Deprecated: the SQL functions are now those of the extension, loaded by
    ``load(connection)``. Their aggregates take values, not lists: write
    ``vantorelle_sketch(user)`` for ``vantorelle_sketch(list(user))``,
    ``vantorelle_merge(sketch)`` for ``vantorelle_merge(list(sketch))``, and
    ``vantorelle_merge`` over the rows where ``vantorelle_union(a, b)`` merged
    two sketches (``vantorelle_union`` is now the estimate of the union)."""
    warnings.warn(
        "vantorelle.duckdb.register() is deprecated: use vantorelle.duckdb.load(connection) "
        "(the aggregates now take values, not lists: vantorelle_sketch(user) rather than "
        "vantorelle_sketch(list(user)))",
        DeprecationWarning,
        stacklevel=2,
    )
    return load(connection)
