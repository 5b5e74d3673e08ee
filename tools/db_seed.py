#!/usr/bin/env python3
"""Creates the update database: the catalogs "會員資料" and "軟體版本" and the version table
pcvelka, with the rows given on the command line.

  db_seed.py sqlite DIR [--row PRODUCT CURRENT NEXT FILE SIZE]...
      DIR/會員資料.sqlite3 and DIR/軟體版本.sqlite3, created afresh.

  db_seed.py postgres --host H --port P [--admin-user postgres] [--admin-password X]
                      [--owner velkadb --owner-password velkapwd] [--row ...]...
      Creates (or re-creates) the login role and both databases in UTF-8 through psql.

  db_seed.py sql {postgres,sqlite} [--row ...]...
      Prints the table and rows as SQL.

A row is the product-line code ("fen" or "tarn"), the version it describes, the version that
follows it, the name of the file that installs the described version, and that file's size.
The last version of a line names itself as its successor. Numbers are stored as integers; any
other text is stored as given (SQLite keeps it, which lets tests store hostile values), and the
word NULL stores a NULL. Without --row a small sample is used.
"""
import argparse
import os
import re
import sqlite3
import subprocess
import sys

MEMBER_CATALOG = "會員資料"
VERSION_CATALOG = "軟體版本"
TABLE = "pcvelka"
COLUMNS = ("車種", "目前版本", "下一版本", "檔名", "檔案大小")

SAMPLE_ROWS = [
    ("fen", "1", "2", "fen_v1.exe", "1024"),
    ("fen", "2", "2", "fen_v2.exe", "2048"),
    ("tarn", "1", "2", "tarn_v1.exe", "1024"),
    ("tarn", "2", "2", "tarn_v2.exe", "2048"),
]

INTEGER = re.compile(r"^-?[0-9]+$")


def create_table_sql():
    return (
        f'create table {TABLE} ('
        f'"車種" varchar(16) not null, '
        f'"目前版本" integer not null, '
        f'"下一版本" integer, '
        f'"檔名" varchar(255), '
        f'"檔案大小" integer, '
        f'primary key ("車種", "目前版本"))'
    )


def literal(value, force_text=False):
    if value == "NULL":
        return "NULL"
    if not force_text and INTEGER.match(value):
        return value
    return "'" + value.replace("'", "''") + "'"


def insert_sql(row):
    product, current, nxt, name, size = row
    values = ", ".join(
        [literal(product, True), literal(current), literal(nxt), literal(name, True), literal(size)]
    )
    return f"insert into {TABLE} values ({values})"


def sqlite_value(value, force_text=False):
    if value == "NULL":
        return None
    if not force_text and INTEGER.match(value):
        return int(value)
    return value


def seed_sqlite(directory, rows):
    os.makedirs(directory, exist_ok=True)
    for catalog in (MEMBER_CATALOG, VERSION_CATALOG):
        path = os.path.join(directory, catalog + ".sqlite3")
        if os.path.exists(path):
            os.remove(path)
        db = sqlite3.connect(path)
        # A real header even for the catalog without tables: the launcher opens it read-only.
        db.execute("pragma user_version = 1")
        if catalog == VERSION_CATALOG:
            db.execute(create_table_sql())
            for product, current, nxt, name, size in rows:
                db.execute(
                    f"insert into {TABLE} values (?, ?, ?, ?, ?)",
                    (
                        sqlite_value(product, True),
                        sqlite_value(current),
                        sqlite_value(nxt),
                        sqlite_value(name, True),
                        sqlite_value(size),
                    ),
                )
        db.commit()
        db.close()


def ident(name):
    return '"' + name.replace('"', '""') + '"'


def psql(args, database, sql):
    env = dict(os.environ)
    if args.admin_password:
        env["PGPASSWORD"] = args.admin_password
    cmd = [
        "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1",
        "-h", args.host, "-p", str(args.port), "-U", args.admin_user, "-d", database,
    ]
    subprocess.run(cmd, input=sql.encode("utf-8"), env=env, check=True)


def seed_postgres(args, rows):
    owner = ident(args.owner)
    password = literal(args.owner_password, True)
    setup = [
        f"select exists (select 1 from pg_roles where rolname = {literal(args.owner, True)})"
        " as role_exists \\gset",
        "\\if :role_exists",
        f"alter role {owner} login password {password};",
        "\\else",
        f"create role {owner} login password {password};",
        "\\endif",
    ]
    for catalog in (MEMBER_CATALOG, VERSION_CATALOG):
        setup.append(f"drop database if exists {ident(catalog)};")
        setup.append(
            f"create database {ident(catalog)} owner {owner} encoding 'UTF8' template template0;"
        )
    psql(args, "postgres", "\n".join(setup) + "\n")

    table = [create_table_sql() + ";"]
    table += [insert_sql(row) + ";" for row in rows]
    table.append(f"alter table {TABLE} owner to {owner};")
    psql(args, VERSION_CATALOG, "\n".join(table) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="backend", required=True)

    def add_rows(p):
        p.add_argument("--row", nargs=5, action="append", metavar=("PRODUCT", "CURRENT", "NEXT",
                                                                   "FILE", "SIZE"))

    p_sqlite = sub.add_parser("sqlite")
    p_sqlite.add_argument("directory")
    add_rows(p_sqlite)

    p_pg = sub.add_parser("postgres")
    p_pg.add_argument("--host", default="127.0.0.1")
    p_pg.add_argument("--port", type=int, default=5432)
    p_pg.add_argument("--admin-user", default="postgres")
    p_pg.add_argument("--admin-password", default="")
    p_pg.add_argument("--owner", default="velkadb")
    p_pg.add_argument("--owner-password", default="velkapwd")
    add_rows(p_pg)

    p_sql = sub.add_parser("sql")
    p_sql.add_argument("dialect", choices=["postgres", "sqlite"])
    add_rows(p_sql)

    args = parser.parse_args()
    rows = [tuple(r) for r in args.row] if args.row else SAMPLE_ROWS

    if args.backend == "sqlite":
        seed_sqlite(args.directory, rows)
    elif args.backend == "postgres":
        seed_postgres(args, rows)
    else:
        print(create_table_sql() + ";")
        for row in rows:
            print(insert_sql(row) + ";")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as e:
        print(f"db_seed: {e}", file=sys.stderr)
        sys.exit(1)
