#!/usr/bin/env bash
# unixODBC's isql and iusql on the driver: rows print clean (no bytes past a
# value), non-ASCII text intact, and a bad statement reports its SQLSTATE.
# With TORQAD, the same statements through a daemon it starts.
# Usage: isql_test.sh DRIVER SCHEMA [TORQAD]
set -euo pipefail
driver=$1 schema=$2 torqad=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/torqa-isql-XXXXXX")
daemon=
trap '[ -z "$daemon" ] || kill "$daemon"; rm -rf "$work"' EXIT
printf '[Torqa]\nDriver=%s\n' "$driver" >"$work/odbcinst.ini"
printf '[torqa]\nDriver=Torqa\nConnect=local[fasthash=1;schema=%s]:%s/ns\n' "$schema" "$work" >"$work/odbc.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini LC_ALL=C.UTF-8

fail=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    printf 'FAILED: %s\nexpected:\n%s\nactual:\n%s\n' "$1" "$2" "$3"
    fail=1
  fi
}

run() { isql torqa torqa torqa -b -q -d'|'; }

run >/dev/null <<'SQL'
INSERT INTO Sample_Person (Name, Age, Height) VALUES ('Ada', 36, 1.65)
INSERT INTO Sample_Person (Name, Age) VALUES ('Zoë', 7)
SQL
check "isql prints the rows" $'1|"Ada"|36|1.65\n2|"Zoë"|7|' \
  "$(echo 'SELECT ID, Name, Age, Height FROM Sample_Person ORDER BY ID' | run)"
check "iusql prints the rows" '1|Ada|36' \
  "$(echo 'SELECT ID, Name, Age FROM Sample_Person WHERE ID = 1' | iusql torqa torqa torqa -b -d'|')"
# isql asks for ODBC 2 states: 42000 shows as 37000.
check "a bad statement reports its SQLSTATE" '[37000]near "SELEC": syntax error' \
  "$(echo 'SELEC 1' | isql torqa torqa torqa -b -v 2>&1 | head -1)"
check "the server's own tables stay hidden" '[37000]' \
  "$(echo 'SELECT hash FROM torqa_users' | isql torqa torqa torqa -b -v 2>&1 | head -1 | cut -c1-7)"
check "a wrong password is refused" '[28000][unixODBC]unknown user or wrong password' \
  "$(echo 'SELECT 1' | isql torqa torqa wrong -b -v 2>&1 | head -1)"

if [ -n "$torqad" ]; then
  "$torqad" --listen 127.0.0.1:0 --data "$work/data" --schema "$schema" --fasthash >"$work/torqad.out" \
    2>"$work/torqad.log" &
  daemon=$!
  for _ in $(seq 100); do grep -q '^listening' "$work/torqad.out" && break; sleep 0.1; done
  port=$(sed -n 's/^listening on .*://p' "$work/torqad.out")
  printf '[daemon]\nDriver=Torqa\nConnect=127.0.0.1[%s]:ns\n' "$port" >>"$work/odbc.ini"
  remote() { isql daemon torqa torqa -b -q -d'|'; }
  echo "INSERT INTO Sample_Person (Name, Age, Height) VALUES ('Ada', 36, 1.65)" | remote >/dev/null
  check "isql prints the rows through the daemon" '1|"Ada"|36|1.65' \
    "$(echo 'SELECT ID, Name, Age, Height FROM Sample_Person' | remote)"
  check "a bad statement reports its SQLSTATE through the daemon" '[37000]near "SELEC": syntax error' \
    "$(echo 'SELEC 1' | isql daemon torqa torqa -b -v 2>&1 | head -1)"
fi
exit $fail
