#!/usr/bin/env bash
# Larkpost's benchmark suite in one command: builds what it needs, makes the inputs, sends
# them to a local SMTP sink with larkpost and with peer tools, and prints a table of figures
# with each target marked PASS or MISS. See bench/README.md.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: bench/run.sh [--repeat N] [--no-large] [--keep] [--no-install]
  --repeat N   runs per 100 MiB figure, the median is shown (default 7; env BENCH_REPEAT)
  --no-large   skip the 1 GiB memory cases (env BENCH_LARGE=0); they are also skipped
               by themselves when the temporary directory has less than 3 GiB free
  --keep       keep the temporary directory (inputs, sink log, tool output)
  --no-install do not run scripts/install-deps.sh --bench first (env BENCH_INSTALL=0)
Environment:
  LARKPOST_BIN   use this larkpost instead of building build-bench/larkpost (Release)
  BENCH_TMPDIR   where the temporary directory goes (default: $TMPDIR or /tmp)
Exit status: 0 when every tool ran and every message arrived whole (targets may still be
missed: see the marks), 1 when a tool failed or a message arrived wrong, 2 on a setup error.
EOF
}

REPEAT=${BENCH_REPEAT:-7}
LARGE=${BENCH_LARGE:-1}
KEEP=0
INSTALL=${BENCH_INSTALL:-1}
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat) REPEAT=${2:?--repeat needs a number}; shift 2 ;;
    --no-large) LARGE=0; shift ;;
    --keep) KEEP=1; shift ;;
    --no-install) INSTALL=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
case "$REPEAT" in ''|*[!0-9]*|0) echo "run.sh: --repeat wants a positive number" >&2; exit 2 ;; esac

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$REPO/bench
SMALL_COUNT=200
MEMORY_LIMIT_KIB=8192
TLS_MEMORY_LIMIT_KIB=10240
PIPE_RECIPIENTS=1000
REPLY_DELAY_MS=2
PIPE_RUNS=5
SPLIT_RECIPIENTS=10000
SPLIT_LIMIT=100
SPLIT_RUNS=3

die() { echo "run.sh: $*" >&2; exit 2; }
note() { echo "-- $*" >&2; }

# Nothing is installed that is there already; without root or sudo the run goes on with
# what there is (a missing peer is left out).
if [ "$INSTALL" = 1 ]; then
  "$REPO/scripts/install-deps.sh" --bench >&2 || note "scripts/install-deps.sh --bench failed: going on"
fi
for tool in g++ python3 base64 openssl; do
  command -v "$tool" >/dev/null || die "$tool is needed"
done
HAVE_MSMTP=0; command -v msmtp >/dev/null && HAVE_MSMTP=1
HAVE_CURL=0; command -v curl >/dev/null && HAVE_CURL=1

# ---------------------------------------------------------------- temporary directory
WORK=$(mktemp -d "${BENCH_TMPDIR:-${TMPDIR:-/tmp}}/larkpost-bench.XXXXXX")
SINK_PID=""
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  if [ -n "$SINK_PID" ]; then kill "$SINK_PID" 2>/dev/null || true; wait "$SINK_PID" 2>/dev/null || true; fi
  if [ "$KEEP" = 1 ]; then echo "Kept $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
case "$WORK" in *[[:space:]]*) rm -rf "$WORK"; die "the temporary directory's path may not contain spaces: $WORK" ;; esac
mkdir -p "$WORK/tools" "$WORK/in" "$WORK/home/.config" "$WORK/saved" "$WORK/out"
: >"$WORK/empty.ini"
# No tool may pick up the user's own settings (~/.msmtprc, ~/.curlrc, larkpost.ini).
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config

# ---------------------------------------------------------------- builds
if [ -n "${LARKPOST_BIN:-}" ]; then
  [ -x "$LARKPOST_BIN" ] || die "LARKPOST_BIN=$LARKPOST_BIN is not an executable"
  LARKPOST=$(cd "$(dirname "$LARKPOST_BIN")" && pwd)/$(basename "$LARKPOST_BIN")
  BUILD_NOTE="given by LARKPOST_BIN"
else
  BUILD_DIR=$REPO/build-bench
  if [ ! -f "$BUILD_DIR/build.ninja" ] ||
     ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$BUILD_DIR/CMakeCache.txt"; then
    note "configuring $BUILD_DIR (Release)"
    cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DLARKPOST_TESTS=OFF >"$WORK/out/cmake.log" 2>&1 ||
      { cat "$WORK/out/cmake.log" >&2; die "cmake failed"; }
  fi
  note "building larkpost"
  ninja -j2 -C "$BUILD_DIR" larkpost >"$WORK/out/ninja.log" 2>&1 ||
    { cat "$WORK/out/ninja.log" >&2; die "the larkpost build failed"; }
  LARKPOST=$BUILD_DIR/larkpost
  BUILD_NOTE="Release build"
fi
note "building the sink and the measuring wrapper"
g++ -std=c++20 -O2 -pthread -o "$WORK/tools/smtp_sink" "$BENCH/smtp_sink.cpp" -lssl -lcrypto ||
  die "the sink does not build (it needs OpenSSL's headers: libssl-dev)"
g++ -std=c++20 -O2 -o "$WORK/tools/runstat" "$BENCH/runstat.cpp" || die "runstat does not build"
SINK=$WORK/tools/smtp_sink
RUNSTAT=$WORK/tools/runstat

# ---------------------------------------------------------------- inputs
if [ "$LARGE" = 1 ]; then
  free_kib=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt $((3 * 1024 * 1024)) ]; then
    note "less than 3 GiB free in $WORK: the 1 GiB cases are skipped"
    LARGE=0
  fi
fi
note "making the inputs in $WORK/in"
IN=$WORK/in
python3 "$BENCH/make_inputs.py" --recipients "$PIPE_RECIPIENTS,$SPLIT_RECIPIENTS" "$IN" 10 100 ||
  die "making the inputs failed"
if [ "$LARGE" = 1 ]; then
  python3 "$BENCH/make_inputs.py" --only body,random "$IN" 1024 || die "making the 1 GiB inputs failed"
fi
# Written-back pages would otherwise go to disk while the first figures are taken.
note "flushing the inputs to disk"
sync

# ---------------------------------------------------------------- certificates
# A CA made for this run and a certificate for 127.0.0.1 signed by it: every client checks
# the TLS sink's certificate against that CA, as it would a real server's.
TLS_DIR=$WORK/tls
CA=$TLS_DIR/ca.pem
make_certificates() {
  local key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  mkdir -p "$TLS_DIR"
  openssl req -x509 "${key[@]}" -days 1 -subj "/CN=Larkpost bench CA" \
    -keyout "$TLS_DIR/ca.key" -out "$CA" &&
    openssl req "${key[@]}" -subj "/CN=127.0.0.1" \
      -keyout "$TLS_DIR/sink.key" -out "$TLS_DIR/sink.csr" &&
    printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=critical,CA:FALSE" \
      "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" >"$TLS_DIR/sink.ext" &&
    openssl x509 -req -in "$TLS_DIR/sink.csr" -CA "$CA" -CAkey "$TLS_DIR/ca.key" \
      -CAcreateserial -days 1 -extfile "$TLS_DIR/sink.ext" -out "$TLS_DIR/sink.pem"
}
note "making a CA and the TLS sink's certificate"
make_certificates >"$WORK/out/openssl.log" 2>&1 ||
  { cat "$WORK/out/openssl.log" >&2; die "making the certificates failed"; }
TLS_SINK=(--tls-cert "$TLS_DIR/sink.pem" --tls-key "$TLS_DIR/sink.key")

# ---------------------------------------------------------------- the sink
# start_sink NAME [SINK OPTION...]: starts a sink; sets SINK_PID, PORT and SINK_LOG.
start_sink() {
  local name=$1; shift
  SINK_LOG=$WORK/$name.log
  : >"$SINK_LOG"
  "$SINK" --port-file "$WORK/$name.port" --log "$SINK_LOG" --lifetime 7200 "$@" \
    2>"$WORK/out/$name.err" &
  SINK_PID=$!
  for _ in $(seq 100); do
    [ -s "$WORK/$name.port" ] && break
    kill -0 "$SINK_PID" 2>/dev/null || { cat "$WORK/out/$name.err" >&2; die "the sink did not start"; }
    sleep 0.05
  done
  [ -s "$WORK/$name.port" ] || die "the sink did not report its port"
  PORT=$(cat "$WORK/$name.port")
}
stop_sink() {
  kill "$SINK_PID" 2>/dev/null || true
  wait "$SINK_PID" 2>/dev/null || true
  SINK_PID=""
}

# The commands, as a user would type them (stdin is given separately).
larkpost_cmd() { echo "$LARKPOST -$WORK/empty.ini -s 127.0.0.1 -p $PORT -u a@example.test $* rcpt@example.test"; }
msmtp_cmd() { echo "msmtp --host=127.0.0.1 --port=$PORT --from=a@example.test --auth=off --tls=off rcpt@example.test"; }
curl_cmd() { echo "curl -s smtp://127.0.0.1:$PORT --mail-from a@example.test --mail-rcpt rcpt@example.test --upload-file $1"; }
# Over STARTTLS, each checking the sink's certificate against the run's CA.
larkpost_tls_cmd() { larkpost_cmd --security=starttls "--ca-file=$CA"; }
msmtp_tls_cmd() { echo "msmtp --host=127.0.0.1 --port=$PORT --from=a@example.test --auth=off --tls=on --tls-starttls=on --tls-trust-file=$CA rcpt@example.test"; }
curl_tls_cmd() { echo "curl -s --ssl-reqd --cacert $CA smtp://127.0.0.1:$PORT --mail-from a@example.test --mail-rcpt rcpt@example.test --upload-file $1"; }
# To every address of a list file: larkpost reads it with -l, msmtp takes the addresses as
# arguments, curl as mail-rcpt lines of a config file (written beside the list).
larkpost_list_cmd() { echo "$LARKPOST -$WORK/empty.ini -s 127.0.0.1 -p $PORT -u a@example.test -l $1"; }
msmtp_list_cmd() { echo "msmtp --host=127.0.0.1 --port=$PORT --from=a@example.test --auth=off --tls=off $(tr '\n' ' ' <"$1")"; }
curl_list_cmd() {
  sed 's/.*/mail-rcpt = "&"/' "$1" >"$1.curlrc"
  echo "curl -s -K $1.curlrc $2 smtp://127.0.0.1:$PORT --mail-from a@example.test --upload-file $3"
}

FAILED=0
fail() {
  FAILED=1
  echo "FAILED: $*" >&2
}

# ---------------------------------------------------------------- correctness first
# Each tool's message is kept and compared with its input before anything is timed.
note "checking that every tool delivers its input intact (10 MiB inputs)"
start_sink check --save "$WORK/saved"
# check_one KIND[+tls] INPUT STDIN CMD...: runs CMD once and checks the kept message (+tls:
# and that it came over TLS).
check_one() {
  local kind=${1%+tls} input=$2 stdin=$3 over_tls=0
  [ "$kind" = "$1" ] || over_tls=1
  shift 3
  local before after
  before=$(wc -l <"$SINK_LOG")
  local rc=0
  "$@" <"$stdin" >"$WORK/out/check.out" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    fail "$* <$stdin exited with status $rc"; sed 's/^/    /' "$WORK/out/check.out" >&2; return
  fi
  after=$(wc -l <"$SINK_LOG")
  if [ "$after" -ne $((before + 1)) ]; then fail "$*: the sink logged $((after - before)) messages"; return; fi
  local msg; msg=$(tail -n 1 "$SINK_LOG" | sed 's/^msg=\([0-9]*\).*/\1/')
  local result security
  security=$(tail -n 1 "$SINK_LOG" | sed -n 's/.* tls=\([^ ]*\).*/\1/p')
  if [ "$over_tls" = 1 ] && [ -z "$security" ]; then
    fail "$*: the message came in plaintext"
  elif result=$(python3 "$BENCH/check_delivery.py" "$kind" "$WORK/saved/msg-$msg.eml" "$input"); then
    [ -n "$security" ] && result="$result, over $security"
    printf '   %-9s %-10s %s\n' "$(basename "$1")" "$kind" "$result" >&2
  else
    fail "$*: $result"
  fi
  rm -f "$WORK/saved/msg-$msg.eml"
}
# shellcheck disable=SC2046
check_one attachment "$IN/random-10.bin" /dev/null $(larkpost_cmd -h -b bench -a "$IN/random-10.bin")
# shellcheck disable=SC2046
check_one text "$IN/body-10.txt" "$IN/body-10.txt" $(larkpost_cmd -h -b bench)
# shellcheck disable=SC2046
check_one relay "$IN/msg-10.eml" "$IN/msg-10.eml" $(larkpost_cmd)
# shellcheck disable=SC2046
[ "$HAVE_MSMTP" = 1 ] && check_one relay "$IN/msg-10.eml" "$IN/msg-10.eml" $(msmtp_cmd)
# shellcheck disable=SC2046
[ "$HAVE_CURL" = 1 ] && check_one relay "$IN/msg-10.eml" "$IN/msg-10.eml" $(curl_cmd "$IN/msg-10.eml")
stop_sink

note "checking the relay over STARTTLS, and larkpost's and curl's over implicit TLS"
start_sink check-starttls --save "$WORK/saved" "${TLS_SINK[@]}"
# shellcheck disable=SC2046
check_one relay+tls "$IN/msg-10.eml" "$IN/msg-10.eml" $(larkpost_tls_cmd)
# shellcheck disable=SC2046
[ "$HAVE_MSMTP" = 1 ] && check_one relay+tls "$IN/msg-10.eml" "$IN/msg-10.eml" $(msmtp_tls_cmd)
# shellcheck disable=SC2046
[ "$HAVE_CURL" = 1 ] && check_one relay+tls "$IN/msg-10.eml" "$IN/msg-10.eml" $(curl_tls_cmd "$IN/msg-10.eml")
stop_sink
start_sink check-implicit-tls --save "$WORK/saved" "${TLS_SINK[@]}" --implicit-tls
# shellcheck disable=SC2046
check_one relay+tls "$IN/msg-10.eml" "$IN/msg-10.eml" \
  $(larkpost_cmd --security=tls "--ca-file=$CA")
# shellcheck disable=SC2046
[ "$HAVE_CURL" = 1 ] && check_one relay+tls "$IN/msg-10.eml" "$IN/msg-10.eml" \
  $(curl_cmd "$IN/msg-10.eml" | sed "s|^curl -s smtp://|curl -s --cacert $CA smtps://|")
stop_sink

# ---------------------------------------------------------------- measuring
start_sink sink
CLK_TCK=$(getconf CLK_TCK)
sink_cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$SINK_PID/stat"; }

size_of() { stat -c %s "$1"; }
lines_of() { wc -l <"$1"; }

# Each measured row, by id: what it runs, and its figures.
declare -A R_WALL R_USER R_SYS R_RSS R_SINK R_BYTES R_LABEL R_TOOL R_STATE R_COUNT R_CMD R_STDIN R_EXPECT
# Rows of the many-recipient cases also have: R_EXITS, the exit statuses that count as a
# run ("0 2", or "any"; default "0"), R_TALLY, the sink's recipient log (set: the row may
# send any number of messages and its deliveries are counted), R_TLS, how the last message
# came (TLS version and cipher), and R_EXTRA, the counts of its median run.
declare -A R_EXITS R_TALLY R_TLS R_EXTRA

# expect_ok LOGLINES EXPECT: checks the sink's new log lines against EXPECT, one or more of
# (separated by blanks):
#   data=N        each message's data (dot-stuffing undone) is N bytes
#   body=N        data less the header is N bytes
#   bodymin=N:M   data less the header is N to N+M bytes
#   rcpts=N       the sink accepted N recipients for each message
#   tls           each message came over TLS
expect_ok() {
  local lines=$1 expect=$2
  awk -v expect="$expect" '
    { delete f
      for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      if (f["status"] != "ok") { print "message " f["msg"] " " f["status"]; bad = 1; next }
      n = split(expect, wants, " ")
      for (j = 1; j <= n; j++) {
        split(wants[j], e, "="); split(e[2], range, ":")
        if (e[1] == "tls") {
          if (f["tls"] == "") { print "message " f["msg"] " came in plaintext"; bad = 1 }
          continue
        }
        want = range[1] + 0; slack = (range[2] == "" ? 0 : range[2] + 0)
        unit = (e[1] == "rcpts") ? " recipients" : " bytes"
        got = (e[1] == "data") ? f["data"] + 0 : (e[1] == "rcpts") ? f["rcpts"] + 0 : f["data"] - f["header"]
        if (got < want || got > want + slack) {
          print "message " f["msg"] ": " e[1] " " got unit ", expected " want (slack ? " to " want + slack : "")
          bad = 1
        }
      }
    }
    END { exit bad }' <<<"$lines"
}

# exit_counts STATUS ACCEPTED: whether STATUS is one of ACCEPTED ("0", "0 2", "any").
exit_counts() {
  [ "$2" = any ] && return 0
  case " $2 " in *" $1 "*) return 0 ;; esac
  return 1
}

# define ID LABEL TOOL INPUT_BYTES COUNT EXPECT STDIN CMD...
#   A row: CMD run COUNT times one after the other (a batch) per measurement, with STDIN
#   as standard input; EXPECT says what the sink must log for each message ("none": the
#   command sends nothing).
define() {
  local id=$1
  R_LABEL[$id]=$2; R_TOOL[$id]=$3; R_BYTES[$id]=$4; R_COUNT[$id]=$5; R_EXPECT[$id]=$6
  R_STDIN[$id]=$7; shift 7
  R_CMD[$id]="$*"
  R_STATE[$id]=pending
  : >"$WORK/out/$id.runs"
}

# run_once ID: one measurement of the row; checks the exit status and the sink's log.
run_once() {
  local id=$1 count=${R_COUNT[$1]} expect=${R_EXPECT[$1]} tally=${R_TALLY[$1]:-}
  [ "${R_STATE[$id]}" = FAIL ] && return
  local -a cmd repeat_args=()
  read -r -a cmd <<<"${R_CMD[$id]}"
  [ "$count" -gt 1 ] && repeat_args=(--repeat "$count")
  kill -0 "$SINK_PID" 2>/dev/null || die "the sink has died"
  local before after t0 t1 rc=0 problem tallied=0 extra=""
  before=$(wc -l <"$SINK_LOG")
  [ -n "$tally" ] && tallied=$(wc -l <"$tally")
  t0=$(sink_cpu_ticks)
  "$RUNSTAT" "${repeat_args[@]}" --stdin "${R_STDIN[$id]}" "$WORK/out/$id.stat" "${cmd[@]}" \
    >"$WORK/out/$id.out" 2>&1 || rc=$?
  t1=$(sink_cpu_ticks)
  if ! exit_counts "$rc" "${R_EXITS[$id]:-0}"; then
    fail "${R_LABEL[$id]} / ${R_TOOL[$id]}: exit status $rc from: ${R_CMD[$id]:0:300} <${R_STDIN[$id]}"
    tail -n 5 "$WORK/out/$id.out" | sed 's/^/    /' >&2
    R_STATE[$id]=FAIL; return
  fi
  if [ "$expect" != none ]; then
    after=$(wc -l <"$SINK_LOG")
    if [ -z "$tally" ] && [ "$after" -ne $((before + count)) ]; then
      fail "${R_LABEL[$id]} / ${R_TOOL[$id]}: the sink logged $((after - before)) messages, expected $count"
      R_STATE[$id]=FAIL; return
    fi
    if [ "$after" -gt "$before" ] &&
       ! problem=$(expect_ok "$(tail -n $((after - before)) "$SINK_LOG")" "$expect"); then
      fail "${R_LABEL[$id]} / ${R_TOOL[$id]}: $(head -n 3 <<<"$problem")"
      R_STATE[$id]=FAIL; return
    fi
    [ "$after" -gt "$before" ] && R_TLS[$id]=$(tail -n 1 "$SINK_LOG" | sed -n 's/.* tls=\([^ ]*\).*/\1/p')
  fi
  if [ -n "$tally" ]; then
    # exit status, transactions, deliveries, and how many different addresses got one
    local delivered=$(($(wc -l <"$tally") - tallied))
    extra=" $rc $((after - before)) $delivered $(tail -n "$delivered" "$tally" | sort -u | wc -l)"
  fi
  echo "$(cut -d' ' -f2- "$WORK/out/$id.stat") $(awk -v a="$t0" -v b="$t1" -v hz="$CLK_TCK" 'BEGIN { printf "%.2f", (b - a) / hz }')$extra" \
    >>"$WORK/out/$id.runs"
}

# measure RUNS ID...: RUNS rounds, each running every row once in turn (so that a busy
# moment of the machine hits all the compared tools alike); then each row keeps its run of
# median wall time, and the largest peak RSS of all its runs.
measure() {
  local runs=$1 id; shift
  for _ in $(seq "$runs"); do
    for id in "$@"; do run_once "$id"; done
  done
  for id in "$@"; do
    [ "${R_STATE[$id]}" = FAIL ] && continue
    local results=$WORK/out/$id.runs n median
    n=$(wc -l <"$results")
    median=$(sort -n -k1,1 "$results" | sed -n "$(((n + 1) / 2))p")
    read -r "R_WALL[$id]" "R_USER[$id]" "R_SYS[$id]" _ "R_SINK[$id]" "R_EXTRA[$id]" <<<"$median"
    R_RSS[$id]=$(awk 'BEGIN { m = 0 } { if ($4 > m) m = $4 } END { print m }' "$results")
    R_STATE[$id]=ok
  done
}

# Expected byte counts at the sink.
# shellcheck disable=SC2017  # the integer divisions are meant: whole groups and lines
b64_wire() { local n=$1; echo $(( (n + 2) / 3 * 4 + (n + 53) / 54 * 2 )); }
text_wire() { echo $(( $(size_of "$1") + $(lines_of "$1") )); }

# How busy the machine is with other work: the share of CPU time not idle over a second.
busy_percent() {
  local a b
  a=$(awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat)
  sleep 1
  b=$(awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat)
  awk -v a="$a" -v b="$b" 'BEGIN { split(a, x, " "); split(b, y, " "); busy = y[1] - x[1]; idle = y[2] - x[2]
    printf "%.0f", (busy + idle > 0) ? 100 * busy / (busy + idle) : 0 }'
}
BUSY_BEFORE=$(busy_percent)
note "measuring (median of $REPEAT runs per figure)"

# a. attachment
n=$(size_of "$IN/random-100.bin")
# shellcheck disable=SC2046
define a_lark "a" "larkpost -h -a" "$n" 1 "bodymin=$(b64_wire "$n"):4096" /dev/null \
  $(larkpost_cmd -h -b bench -a "$IN/random-100.bin")
# shellcheck disable=SC2016  # "$1" is for the little script, not for here
printf '#!/bin/sh\nexec base64 -w 72 "$1" >/dev/null\n' >"$WORK/tools/base64-to-null"
chmod +x "$WORK/tools/base64-to-null"
define a_b64 "a" "base64 -w 72" "$n" 1 none /dev/null "$WORK/tools/base64-to-null" "$IN/random-100.bin"
measure "$REPEAT" a_lark a_b64

# b. text body
n=$(size_of "$IN/body-100.txt")
# shellcheck disable=SC2046
define b_lark "b" "larkpost -h" "$n" 1 "body=$(text_wire "$IN/body-100.txt")" "$IN/body-100.txt" \
  $(larkpost_cmd -h -b bench)
measure "$REPEAT" b_lark

# c. relay
n=$(size_of "$IN/msg-100.eml")
rows=(c_lark)
# shellcheck disable=SC2046
define c_lark "c" "larkpost" "$n" 1 "data=$n" "$IN/msg-100.eml" $(larkpost_cmd)
if [ "$HAVE_MSMTP" = 1 ]; then
  # shellcheck disable=SC2046
  define c_msmtp "c" "msmtp" "$n" 1 "data=$n" "$IN/msg-100.eml" $(msmtp_cmd)
  rows+=(c_msmtp)
fi
if [ "$HAVE_CURL" = 1 ]; then
  # shellcheck disable=SC2046
  define c_curl "c" "curl" "$n" 1 "data=$n" "$IN/msg-100.eml" $(curl_cmd "$IN/msg-100.eml")
  rows+=(c_curl)
fi
measure "$REPEAT" "${rows[@]}"

# d. many small messages, one process each
n=$(size_of "$IN/small.eml")
SMALL_RUNS=5
rows=(d_lark d_true)
# shellcheck disable=SC2046
define d_lark "d" "larkpost" $((n * SMALL_COUNT)) "$SMALL_COUNT" "data=$n" "$IN/small.eml" $(larkpost_cmd)
define d_true "d" "/bin/true (start-up floor)" 0 "$SMALL_COUNT" none "$IN/small.eml" /bin/true
if [ "$HAVE_CURL" = 1 ]; then
  # shellcheck disable=SC2046
  define d_curl "d" "curl" $((n * SMALL_COUNT)) "$SMALL_COUNT" "data=$n" "$IN/small.eml" \
    $(curl_cmd "$IN/small.eml")
  rows+=(d_curl)
fi
measure "$SMALL_RUNS" "${rows[@]}"
if [ "$HAVE_MSMTP" = 1 ]; then
  # msmtp takes some 50 ms a message against this sink: one batch is enough for reference.
  # shellcheck disable=SC2046
  define d_msmtp "d" "msmtp (one batch)" $((n * SMALL_COUNT)) "$SMALL_COUNT" "data=$n" "$IN/small.eml" \
    $(msmtp_cmd)
  measure 1 d_msmtp
fi

# e. peak memory: 100 MiB comes from a. and b.; 10 MiB and 1 GiB here.
MEM_SIZES="10"
[ "$LARGE" = 1 ] && MEM_SIZES="10 1024"
for size in $MEM_SIZES; do
  f=$IN/random-$size.bin; n=$(size_of "$f")
  # shellcheck disable=SC2046
  define "e_att_$size" "e" "larkpost -h -a" "$n" 1 "bodymin=$(b64_wire "$n"):4096" /dev/null \
    $(larkpost_cmd -h -b bench -a "$f")
  f=$IN/body-$size.txt; n=$(size_of "$f")
  # shellcheck disable=SC2046
  define "e_txt_$size" "e" "larkpost -h" "$n" 1 "body=$(text_wire "$f")" "$f" $(larkpost_cmd -h -b bench)
  measure 1 "e_att_$size" "e_txt_$size"
done
stop_sink

# f. the relay over STARTTLS, to a sink of its own
start_sink tls "${TLS_SINK[@]}"
n=$(size_of "$IN/msg-100.eml")
rows=(f_lark)
# shellcheck disable=SC2046
define f_lark "f" "larkpost" "$n" 1 "data=$n tls" "$IN/msg-100.eml" $(larkpost_tls_cmd)
if [ "$HAVE_MSMTP" = 1 ]; then
  # shellcheck disable=SC2046
  define f_msmtp "f" "msmtp" "$n" 1 "data=$n tls" "$IN/msg-100.eml" $(msmtp_tls_cmd)
  rows+=(f_msmtp)
fi
if [ "$HAVE_CURL" = 1 ]; then
  # shellcheck disable=SC2046
  define f_curl "f" "curl" "$n" 1 "data=$n tls" "$IN/msg-100.eml" $(curl_tls_cmd "$IN/msg-100.eml")
  rows+=(f_curl)
fi
measure "$REPEAT" "${rows[@]}"
stop_sink

# g. many recipients for one message, to a sink that offers PIPELINING and answers every
# command late, as a server a few milliseconds away would
start_sink pipelined --pipelining --reply-delay "$REPLY_DELAY_MS"
list=$IN/rcpts-$PIPE_RECIPIENTS.txt
n=$(size_of "$IN/small.eml")
rows=(g_lark)
# shellcheck disable=SC2046
define g_lark "g" "larkpost -l" 0 1 "data=$n rcpts=$PIPE_RECIPIENTS" "$IN/small.eml" $(larkpost_list_cmd "$list")
if [ "$HAVE_MSMTP" = 1 ]; then
  # shellcheck disable=SC2046
  define g_msmtp "g" "msmtp" 0 1 "data=$n rcpts=$PIPE_RECIPIENTS" "$IN/small.eml" $(msmtp_list_cmd "$list")
  rows+=(g_msmtp)
fi
if [ "$HAVE_CURL" = 1 ]; then
  # shellcheck disable=SC2046
  define g_curl "g" "curl -K (mail-rcpt lines)" 0 1 "data=$n rcpts=$PIPE_RECIPIENTS" "$IN/small.eml" \
    $(curl_list_cmd "$list" "" "$IN/small.eml")
  rows+=(g_curl)
fi
measure "$PIPE_RUNS" "${rows[@]}"
stop_sink

# h. more recipients than the sink takes in one transaction; every delivery is counted.
# The peers are there to show what they do with the same list: one run each.
SPLIT_TALLY=$WORK/split-recipients.log
: >"$SPLIT_TALLY"
start_sink split --pipelining --max-rcpts "$SPLIT_LIMIT" --rcpt-log "$SPLIT_TALLY"
list=$IN/rcpts-$SPLIT_RECIPIENTS.txt
n=$(size_of "$IN/msg-10.eml")
# shellcheck disable=SC2046
define h_lark "h" "larkpost -l" "$n" 1 "data=$n" "$IN/msg-10.eml" $(larkpost_list_cmd "$list")
R_EXITS[h_lark]="0 2"; R_TALLY[h_lark]=$SPLIT_TALLY
rows=(h_lark)
# A larkpost that can split by itself is also run with the sink's limit set ahead, so that
# no recipient is refused at all.
if "$LARKPOST" --help 2>/dev/null | grep -q -- '--max-recipients='; then
  # shellcheck disable=SC2046
  define h_lark_max "h" "larkpost --max-recipients" "$n" 1 "data=$n" "$IN/msg-10.eml" \
    $(larkpost_list_cmd "$list") "--max-recipients=$SPLIT_LIMIT"
  R_EXITS[h_lark_max]="0 2"; R_TALLY[h_lark_max]=$SPLIT_TALLY
  rows+=(h_lark_max)
fi
measure "$SPLIT_RUNS" "${rows[@]}"
rows=()
if [ "$HAVE_MSMTP" = 1 ]; then
  # shellcheck disable=SC2046
  define h_msmtp "h" "msmtp" "$n" 1 "data=$n" "$IN/msg-10.eml" $(msmtp_list_cmd "$list")
  R_EXITS[h_msmtp]=any; R_TALLY[h_msmtp]=$SPLIT_TALLY
  rows+=(h_msmtp)
fi
if [ "$HAVE_CURL" = 1 ]; then
  # shellcheck disable=SC2046
  define h_curl "h" "curl --mail-rcpt-allowfails" "$n" 1 "data=$n" "$IN/msg-10.eml" \
    $(curl_list_cmd "$list" --mail-rcpt-allowfails "$IN/msg-10.eml")
  R_EXITS[h_curl]=any; R_TALLY[h_curl]=$SPLIT_TALLY
  rows+=(h_curl)
fi
[ ${#rows[@]} -gt 0 ] && measure 1 "${rows[@]}"
stop_sink
BUSY_AFTER=$(busy_percent)

# ---------------------------------------------------------------- the report
fmt_mib() { awk -v b="$1" 'BEGIN { if (b >= 1073741824) printf "%g GiB", b / 1073741824; else if (b >= 1048576) printf "%g MiB", b / 1048576; else printf "%g KiB", b / 1024 }'; }
row() {
  local id=$1
  if [ "${R_STATE[$id]:-}" != ok ]; then
    printf '  %-28s %s\n' "${R_TOOL[$id]:-?}" "FAILED (see above)"
    return
  fi
  awk -v tool="${R_TOOL[$id]}" -v bytes="${R_BYTES[$id]}" -v wall="${R_WALL[$id]}" \
      -v user="${R_USER[$id]}" -v sys="${R_SYS[$id]}" -v rss="${R_RSS[$id]}" -v sink="${R_SINK[$id]}" \
      -v count="${R_COUNT[$id]}" -v sinkused="$([ "${id#*_}" = b64 ] || [ "${id#*_}" = true ] && echo 0 || echo 1)" 'BEGIN {
    rate = (bytes > 0 && count == 1) ? sprintf("%8.1f", bytes / 1048576 / wall) : sprintf("%8s", "-")
    per = (count > 1) ? sprintf("  (%.2f ms each)", wall * 1000 / count) : ""
    printf "  %-28s %s %9.3f %8.3f %8.3f %8.3f %8.2f MiB %8s%s\n", tool, rate, wall, user, sys,
           user + sys, rss / 1024, sinkused ? sprintf("%.2f", sink) : "-", per
  }'
}
header_row() {
  printf '  %-28s %8s %9s %8s %8s %8s %12s %8s\n' "tool" "MiB/s" "wall s" "user s" "sys s" "CPU s" "peak RSS" "sink CPU"
}

PASSES=0; MISSES=0
SUMMARY=()
# mark ID_OK TEXT FIGURE: OK is 1 (PASS), 0 (MISS) or "" (could not be judged).
mark() {
  local ok=$1 what=$2 figure=$3 word
  if [ -z "$ok" ]; then word="----"
  elif [ "$ok" = 1 ]; then word=PASS; PASSES=$((PASSES + 1))
  else word=MISS; MISSES=$((MISSES + 1)); fi
  printf '  target: %-50s %-34s %s\n' "$what" "$figure" "$word"
  SUMMARY+=("$(printf '  %-58s %-34s %s' "$what" "$figure" "$word")")
}
judged() { [ "${R_STATE[$1]:-}" = ok ] && [ "${R_STATE[$2]:-}" = ok ]; }

echo
echo "Larkpost benchmarks: $LARKPOST ($BUILD_NOTE)"
echo "$(nproc) cores, $(uname -sr); figures are the median of $REPEAT runs (d: of $SMALL_RUNS batches, g: of $PIPE_RUNS runs, h: of $SPLIT_RUNS); 1 MiB = 1048576 bytes"
echo "MiB/s = input size / wall time; CPU = user + sys of the client; sink CPU = the sink's own CPU time meanwhile"
echo "other work on the machine just before measuring: ${BUSY_BEFORE}% of the CPU time, just after: ${BUSY_AFTER}%$([ "$BUSY_BEFORE" -gt 10 ] || [ "$BUSY_AFTER" -gt 10 ] && echo " -- busy: figures may be slower and noisier than they should be")"
echo

echo "a. attachment: 100 MiB random file, larkpost -h -a vs base64 -w 72 > /dev/null"
header_row; row a_lark; row a_b64
if judged a_lark a_b64; then
  ratio=$(awk -v l="${R_WALL[a_lark]}" -v b="${R_WALL[a_b64]}" 'BEGIN { printf "%.1f", 100 * b / l }')
  ok=$(awk -v l="${R_WALL[a_lark]}" -v b="${R_WALL[a_b64]}" 'BEGIN { print (b / l >= 0.8) ? 1 : 0 }')
  mark "$ok" "a. attachment: larkpost >= 80% of base64's speed" "${ratio}% of base64's speed"
else mark "" "a. attachment: larkpost >= 80% of base64's speed" "not measured"; fi
echo

echo "b. text body: 100 MiB of ~72-character lines, larkpost -h (no target)"
header_row; row b_lark
echo

echo "c. relay: a complete 100 MiB message sent as it is"
header_row; row c_lark
[ "$HAVE_MSMTP" = 1 ] && row c_msmtp
[ "$HAVE_CURL" = 1 ] && row c_curl
for peer in msmtp curl; do
  if judged c_lark "c_$peer"; then
    figure=$(awk -v l="${R_WALL[c_lark]}" -v p="${R_WALL[c_$peer]}" 'BEGIN { printf "%.3f s vs %.3f s (%.1fx)", l, p, p / l }')
    ok=$(awk -v l="${R_WALL[c_lark]}" -v p="${R_WALL[c_$peer]}" 'BEGIN { print (l < p) ? 1 : 0 }')
    mark "$ok" "c. relay: larkpost faster than $peer" "$figure"
  else mark "" "c. relay: larkpost faster than $peer" "not measured"; fi
done
echo

echo "d. $SMALL_COUNT messages of 1 KiB, one process each, one after the other (totals)"
header_row; row d_lark
[ "$HAVE_CURL" = 1 ] && row d_curl
[ "$HAVE_MSMTP" = 1 ] && row d_msmtp
row d_true
if judged d_lark d_curl; then
  figure=$(awk -v l="${R_WALL[d_lark]}" -v c="${R_WALL[d_curl]}" 'BEGIN { printf "%.3f s vs %.3f s (%.3f of it)", l, c, l / c }')
  ok=$(awk -v l="${R_WALL[d_lark]}" -v c="${R_WALL[d_curl]}" 'BEGIN { print (3 * l <= c) ? 1 : 0 }')
  mark "$ok" "d. small messages: larkpost <= 1/3 of curl's time" "$figure"
else mark "" "d. small messages: larkpost <= 1/3 of curl's time" "not measured"; fi
echo

echo "e. peak memory of larkpost (resident set, KiB as the kernel counts it)"
printf '  %-28s %10s %12s %9s\n' "tool" "input" "peak RSS" "MiB/s"
worst=0; mem_ok=1; judged_any=0; mem_failed=0
for id in e_att_10 a_lark e_att_1024 e_txt_10 b_lark e_txt_1024; do
  [ -n "${R_TOOL[$id]:-}" ] || continue
  if [ "${R_STATE[$id]}" != ok ]; then
    printf '  %-28s %10s %12s\n' "${R_TOOL[$id]}" "$(fmt_mib "${R_BYTES[$id]}")" "FAILED"; mem_failed=1; continue
  fi
  judged_any=1
  printf '  %-28s %10s %7d KiB %9.1f\n' "${R_TOOL[$id]}" "$(fmt_mib "${R_BYTES[$id]}")" "${R_RSS[$id]}" \
    "$(awk -v b="${R_BYTES[$id]}" -v w="${R_WALL[$id]}" 'BEGIN { print b / 1048576 / w }')"
  [ "${R_RSS[$id]}" -gt "$worst" ] && worst=${R_RSS[$id]}
  [ "${R_RSS[$id]}" -ge "$MEMORY_LIMIT_KIB" ] && mem_ok=0
done
[ "$LARGE" = 1 ] || echo "  (1 GiB cases skipped)"
if [ "$mem_failed" = 1 ]; then
  mark "" "e. memory: larkpost peak RSS < 8 MiB, every case" "some cases FAILED"
elif [ "$judged_any" = 1 ]; then
  mark "$mem_ok" "e. memory: larkpost peak RSS < 8 MiB, every case" "largest $worst KiB"
else mark "" "e. memory: larkpost peak RSS < 8 MiB, every case" "not measured"; fi
echo

echo "f. TLS relay: the complete 100 MiB message over STARTTLS, the sink's certificate checked"
header_row; row f_lark
[ "$HAVE_MSMTP" = 1 ] && row f_msmtp
[ "$HAVE_CURL" = 1 ] && row f_curl
for id in f_lark f_msmtp f_curl; do
  [ -n "${R_TLS[$id]:-}" ] && printf '  %-28s negotiated %s\n' "${R_TOOL[$id]}" "${R_TLS[$id]}"
done
if judged f_lark c_lark; then
  awk -v t="${R_WALL[f_lark]}" -v p="${R_WALL[c_lark]}" -v b="${R_BYTES[f_lark]}" 'BEGIN {
    printf "  larkpost over TLS: %.1f MiB/s, in plaintext (c): %.1f MiB/s\n", b / 1048576 / t, b / 1048576 / p }'
fi
if judged f_lark f_curl; then
  figure=$(awk -v l="${R_WALL[f_lark]}" -v p="${R_WALL[f_curl]}" 'BEGIN { printf "%.3f s vs %.3f s (%.2fx)", l, p, p / l }')
  ok=$(awk -v l="${R_WALL[f_lark]}" -v p="${R_WALL[f_curl]}" 'BEGIN { print (l <= p) ? 1 : 0 }')
  mark "$ok" "f. TLS relay: larkpost at least as fast as curl" "$figure"
else mark "" "f. TLS relay: larkpost at least as fast as curl" "not measured"; fi
if [ "${R_STATE[f_lark]:-}" = ok ]; then
  mark "$([ "${R_RSS[f_lark]}" -lt "$TLS_MEMORY_LIMIT_KIB" ] && echo 1 || echo 0)" \
    "f. TLS relay: larkpost peak RSS < 10 MiB" "${R_RSS[f_lark]} KiB"
else mark "" "f. TLS relay: larkpost peak RSS < 10 MiB" "not measured"; fi
echo

echo "g. $PIPE_RECIPIENTS recipients (a list file) for one 1 KiB message; the sink offers PIPELINING and answers each command ${REPLY_DELAY_MS} ms after it came"
header_row; row g_lark
[ "$HAVE_MSMTP" = 1 ] && row g_msmtp
[ "$HAVE_CURL" = 1 ] && row g_curl
if judged g_lark g_msmtp; then
  figure=$(awk -v l="${R_WALL[g_lark]}" -v p="${R_WALL[g_msmtp]}" 'BEGIN { printf "%.3f s vs %.3f s (%.2fx)", l, p, p / l }')
  ok=$(awk -v l="${R_WALL[g_lark]}" -v p="${R_WALL[g_msmtp]}" 'BEGIN { print (l <= p) ? 1 : 0 }')
  mark "$ok" "g. pipelining: larkpost at least as fast as msmtp" "$figure"
else mark "" "g. pipelining: larkpost at least as fast as msmtp" "not measured"; fi
echo

echo "h. $SPLIT_RECIPIENTS recipients (a list file) for a 10 MiB message; the sink takes at most $SPLIT_LIMIT a transaction (\"452 4.5.3 Too many recipients\" past that)"
printf '  %-28s %9s %8s %12s %5s %13s %10s %9s\n' "tool" "wall s" "CPU s" "peak RSS" "exit" "transactions" "delivered" "distinct"
split_row() {
  local id=$1
  if [ "${R_STATE[$id]:-}" != ok ]; then
    printf '  %-28s %s\n' "${R_TOOL[$id]:-?}" "FAILED (see above)"
    return
  fi
  local rc transactions delivered distinct
  read -r rc transactions delivered distinct <<<"${R_EXTRA[$id]}"
  printf '  %-28s %9.3f %8.3f %8.2f MiB %5s %13s %10s %9s\n' "${R_TOOL[$id]}" "${R_WALL[$id]}" \
    "$(awk -v u="${R_USER[$id]}" -v s="${R_SYS[$id]}" 'BEGIN { print u + s }')" \
    "$(awk -v r="${R_RSS[$id]}" 'BEGIN { print r / 1024 }')" "$rc" "$transactions" "$delivered" "$distinct"
}
split_row h_lark
[ -n "${R_TOOL[h_lark_max]:-}" ] && split_row h_lark_max
[ "$HAVE_MSMTP" = 1 ] && split_row h_msmtp
[ "$HAVE_CURL" = 1 ] && split_row h_curl
# split_marks ID WHAT: the targets of a larkpost row.
split_marks() {
  local id=$1 what=$2 ok transactions distinct
  if [ "${R_STATE[$id]:-}" != ok ]; then
    mark "" "h. $what: each of the $SPLIT_RECIPIENTS gets it once" "not measured"
    mark "" "h. $what: larkpost peak RSS < 8 MiB" "not measured"
    return
  fi
  # Judged on every run, not only the median one: each address once, none twice.
  ok=$(awk -v n="$SPLIT_RECIPIENTS" '{ if ($8 != n || $9 != n) bad = 1 } END { print bad ? 0 : 1 }' \
    "$WORK/out/$id.runs")
  read -r _ transactions _ distinct <<<"${R_EXTRA[$id]}"
  mark "$ok" "h. $what: each of the $SPLIT_RECIPIENTS gets it once" \
    "$distinct of $SPLIT_RECIPIENTS, $transactions transactions"
  mark "$([ "${R_RSS[$id]}" -lt "$MEMORY_LIMIT_KIB" ] && echo 1 || echo 0)" \
    "h. $what: larkpost peak RSS < 8 MiB" "${R_RSS[$id]} KiB"
}
split_marks h_lark "split on 452"
[ -n "${R_TOOL[h_lark_max]:-}" ] && split_marks h_lark_max "split ahead"
echo

echo "Targets"
printf '%s\n' "${SUMMARY[@]}"
echo "  $PASSES PASS, $MISSES MISS$([ "$FAILED" = 1 ] && echo ", and some runs FAILED (see above)")"
[ "$FAILED" = 0 ] || exit 1
exit 0
