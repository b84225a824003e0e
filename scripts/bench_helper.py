#!/usr/bin/env python3
"""Text-making steps of scripts/bench: seed data, the captured statement stream, the floor,
and the pass-through's statement counts.

Each subcommand reads what it needs on stdin and writes SQL (or a summary) on stdout, so the
bash script keeps every server connection in the mariadb client.
"""
import argparse
import json
import re
import sys

# The seven ap record kinds a run copies.
AP_KINDS = ("002", "003", "005", "006", "007", "008", "009")
AP_RECORD_LEN = 150
# Columns a copy never writes: the destination gets their defaults.
SKIPPED_COLUMNS = {"rowid", "memo"}


def read_columns(stream):
    """Tab-separated TABLE_NAME, COLUMN_NAME, DATA_TYPE, COLUMN_TYPE, CHAR_MAX_LEN rows."""
    tables = {}
    for line in stream:
        line = line.rstrip("\n")
        if not line:
            continue
        table, column, data_type, column_type, max_len = line.split("\t")
        tables.setdefault(table, []).append(
            (column, data_type.lower(), column_type.lower(),
             int(max_len) if max_len not in ("NULL", "") else 0))
    return tables


def text_expr(column, max_len, first):
    """Varied text for row `seq`: plain, apostrophe, accent, backslash, some NULLs."""
    def cut(expr):
        return "LEFT(%s, %d)" % (expr, max_len)
    plain = cut("CONCAT('%s ', seq)" % column)
    if first:
        # The first text column (Number, NAIC, CmpNum, AL3Line) is the row's key: never NULL.
        return plain
    return ("CASE WHEN seq %% 11 = 3 THEN NULL "
            "WHEN seq %% 7 = 0 THEN %s "
            "WHEN seq %% 13 = 0 THEN %s "
            "WHEN seq %% 29 = 0 THEN %s "
            "ELSE %s END") % (
                cut("CONCAT('O''Neil ', '%s ', seq)" % column),
                cut("CONCAT('Caf\u00e9 Stra\u00dfe ', seq)"),
                cut("CONCAT('C:\\\\zarnix\\\\', seq)"),
                plain)


def value_expr(column, data_type, column_type, max_len, first_text):
    if data_type in ("varchar", "char", "text", "mediumtext", "longtext"):
        return text_expr(column, max_len, first_text)
    if column_type.startswith("tinyint(1)"):
        return "CASE WHEN seq % 19 = 5 THEN NULL ELSE seq % 2 END"
    if data_type in ("int", "bigint", "smallint", "tinyint", "mediumint"):
        return "CASE WHEN seq % 17 = 4 THEN NULL ELSE seq % 100000 END"
    if data_type in ("decimal", "double", "float"):
        return ("CASE WHEN seq % 23 = 6 THEN NULL WHEN seq % 5 = 0 THEN -seq * 0.25 "
                "ELSE seq * 1.2345 END")
    raise SystemExit("bench_helper: no generator for %s %s" % (column, column_type))


def cmd_seed(args):
    tables = read_columns(sys.stdin)
    out = ["SET autocommit = 1;",
           "INSERT INTO Agency (AgyCode, AgencyName) VALUES "
           "('01', 'Bench Source Agency'), ('02', 'Bench Destination Agency'), "
           "('03', 'Bench Bystander Agency');"]
    for table, columns in sorted(tables.items()):
        # Only the copied tables, the ones with an agency code (not Agency itself, the ap
        # file or the program's own tables).
        if table.lower() == "agency" or not any(c[0].lower() == "agycode" for c in columns):
            continue
        names, exprs = [], []
        first_text = True
        for column, data_type, column_type, max_len in columns:
            if column.lower() in SKIPPED_COLUMNS:
                continue
            names.append("`%s`" % column)
            if column.lower() == "agycode":
                exprs.append("agy")
                continue
            exprs.append(value_expr(column, data_type, column_type, max_len,
                                    first_text and data_type == "varchar"))
            if data_type == "varchar":
                first_text = False
        # Agency 03 gets a quarter as many rows, so the selects have something to skip.
        for agy, count in (("01", args.rows), ("03", max(args.rows // 4, 1))):
            out.append("INSERT INTO `%s` (%s) SELECT %s FROM (SELECT seq, '%s' AS agy "
                       "FROM seq_1_to_%d) AS s;" % (table, ", ".join(names), ", ".join(exprs),
                                                    agy, count))
    # ap records: type(3) + "000" + agency(2) + Num(6) + Seq(2), then a name and filler up
    # to 150 bytes; key 0 is the first 16 bytes.
    for kind in AP_KINDS:
        for agy, count in (("01", args.ap), ("03", max(args.ap // 4, 1))):
            rec = ("RPAD(CONCAT('%s000%s', LPAD(seq, 6, '0'), '00', '%s', "
                   "RPAD(CONCAT('Record ', seq), 6, ' '), RPAD(CONCAT('Name of ', seq), 25, ' '), "
                   "'A'), %d, '*')") % (kind, agy, kind, AP_RECORD_LEN)
            out.append("INSERT INTO zz_data_ap (Index0Col, RecData) SELECT LEFT(r, 16), r FROM "
                       "(SELECT CAST(%s AS BINARY) AS r FROM seq_1_to_%d) AS s;" % (rec, count))
    sys.stdout.write("\n".join(out) + "\n")


def log_entries(stream):
    """Hex-encoded log entries, one a line, as bytes without trailing blanks or semicolon."""
    for line in stream:
        line = line.strip()
        if line:
            entry = bytes.fromhex(line).rstrip()
            yield entry[:-1] if entry.endswith(b";") else entry


def cmd_packets(args):
    """Hex-encoded log entries -> a script that sends each entry as one query, as the program
    sent it: a multi-row insert (or a multi-statement packet) stays one round trip. The
    delimiter cannot occur outside the quoted or hex values of the program's statements."""
    count = 0
    with open(args.output, "wb") as out:
        out.write(b"DELIMITER $$$\n")
        for entry in log_entries(sys.stdin):
            out.write(entry + b"$$$\n")
            count += 1
    print(count)


INSERT_RE = re.compile(rb"^\s*insert\s+into\s+`?(\w+)`?\s*\(([^)]*)\)\s*values\s*\(",
                       re.IGNORECASE)


def cmd_floor(args):
    """The captured statements -> per table: clear, then one INSERT ... SELECT of the
    columns the copy writes; then the ap kinds, each cleared and copied in one statement."""
    column_lists = {}
    with open(args.statements, "rb") as stream:
        for line in stream:
            match = INSERT_RE.match(line)
            # The copied tables' inserts, which name the agency code; not the ap records, nor
            # the program's own bookkeeping (its run lock).
            if (match and match.group(1).lower() != b"zz_data_ap"
                    and b"agycode" in match.group(2).lower()):
                column_lists.setdefault(match.group(1).decode(), match.group(2).decode())
    if not column_lists:
        raise SystemExit("bench_helper: no inserts in the captured statements")
    src, dst = args.source, args.dest
    out = []
    for table, columns in column_lists.items():
        names = [c.strip() for c in columns.split(",")]
        select = ["'%s'" % dst if n.lower() == "agycode" else n for n in names]
        out.append("DELETE FROM `%s` WHERE AgyCode = '%s';" % (table, dst))
        out.append("INSERT INTO `%s` (%s) SELECT %s FROM `%s` WHERE AgyCode = '%s';"
                   % (table, ", ".join(names), ", ".join(select), table, src))
    for kind in AP_KINDS:
        out.append("DELETE FROM zz_data_ap WHERE Index0Col LIKE '%s000%s%%';" % (kind, dst))
        out.append("INSERT INTO zz_data_ap (Index0Col, RecData) SELECT "
                   "CONCAT(LEFT(Index0Col, 6), '%s', SUBSTR(Index0Col, 9)), "
                   "CONCAT(LEFT(RecData, 6), '%s', SUBSTR(RecData, 9)) "
                   "FROM zz_data_ap WHERE Index0Col LIKE '%s000%s%%';" % (dst, dst, kind, src))
    sys.stdout.write("\n".join(out) + "\n")
    print("%d tables" % len(column_lists), file=sys.stderr)


# A prepared insert travels as one request: its prepare, its execution (bulk or single) and
# its close are sent together, and only the first two are answered, together.
COM_STMT_PREPARE = "0x16"
TRAVELS_WITH_PREPARE = ("0x17", "0x19", "0xfa")  # execute, close, bulk execute


def cmd_counts(args):
    """The totals of a count file of scripts/linkproxy, as two numbers for the shell: the
    requests (queries and prepared statements) and the other commands (connect, ping, quit)."""
    with open(args.file, encoding="utf-8") as stream:
        counts = json.load(stream)
    by_command = counts.get("by_command", {})
    prepared = by_command.get(COM_STMT_PREPARE, 0)
    with_them = sum(by_command.get(command, 0) for command in TRAVELS_WITH_PREPARE)
    print(counts["queries"] + prepared, counts["other_commands"] - prepared - with_them)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    seed = sub.add_parser("seed", help="columns on stdin -> seeding SQL")
    seed.add_argument("--rows", type=int, required=True)
    seed.add_argument("--ap", type=int, required=True)
    packets = sub.add_parser("packets", help="hex log entries on stdin -> packet script")
    packets.add_argument("--output", required=True)
    floor = sub.add_parser("floor", help="replay script -> server-side copy SQL")
    floor.add_argument("--statements", required=True)
    floor.add_argument("--source", default="01")
    floor.add_argument("--dest", default="02")
    counts = sub.add_parser("counts", help="scripts/linkproxy's count file -> REQUESTS OTHER")
    counts.add_argument("--file", required=True)
    args = parser.parse_args()
    {"seed": cmd_seed, "packets": cmd_packets, "floor": cmd_floor,
     "counts": cmd_counts}[args.command](args)


if __name__ == "__main__":
    main()
