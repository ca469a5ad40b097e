#!/usr/bin/env bash
# The recipe of docs/many-machines.md on one machine: GNU parallel spreads
# `tonwell fix` over two "hosts" through a stand-in ssh that runs each command
# here. The run is killed half-way (parallel, the stand-in ssh and the tonwell
# processes at once, as a crash or a lost connection would), then resumed with
# the same command. Every output must then exist exactly once, be complete
# (byte for byte what a plain local fix writes) and no temporary file may be
# left; the job log must show every photo done once.
# Usage: many_machines_test.sh TONWELL SAMPLE.jpg
set -euo pipefail
tonwell=$1
sample=$2
if ! command -v parallel >/dev/null; then
  echo "GNU parallel is missing: install it with scripts/install-deps --test" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tonwell-many-XXXXXX")
pgid=""
cleanup() {
  [ -n "$pgid" ] && kill -KILL -- "-$pgid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export TONWELL_ROOT=$work/root
# parallel runs each job, here and on the "hosts", through $SHELL, which a
# build machine may leave unset or set to a shell that runs nothing.
export SHELL PARALLEL_SHELL
SHELL=$(command -v bash)
PARALLEL_SHELL=$SHELL
mkdir -p "$TONWELL_ROOT"

# A tree of photos: 3 folders of 10, names with spaces among them.
cd "$work"
for d in "2023/spring" "2023/summer holiday" "2024"; do
  mkdir -p "photos/$d"
  for i in $(seq -w 1 10); do cp "$sample" "photos/$d/img $i.jpg"; done
done
total=$(find photos -type f | wc -l)

# The stand-in ssh: `fake-ssh [OPTIONS] HOST COMMAND...` runs COMMAND here,
# slowly enough that the kill lands mid-run, and notes which host ran it.
cat > fake-ssh <<'SSH'
#!/usr/bin/env bash
while [ $# -gt 0 ] && [ "${1#-}" != "$1" ]; do
  case "$1" in -l|-p|-o|-i|-S|-F) shift 2 ;; *) shift ;; esac
done
host=$1; shift
[ "${1:-}" = "--" ] && shift
echo "$host" >> "$HOSTLOG"
sleep 0.2
exec bash -c "$*"
SSH
export HOSTLOG=$work/hosts.log

# The recipe's command, as in docs/many-machines.md, with the stand-in ssh
# and two hosts running two jobs each. The stand-in is run through bash, not
# executed, because the temporary folder may be mounted noexec.
run_recipe() {
  find photos -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' \) -print0 |
    parallel -0 --ssh "bash $work/fake-ssh" --sshlogin 2/hostA,2/hostB \
      --workdir "$work" --joblog fix.joblog --resume-failed \
      "mkdir -p fixed/{//} && $tonwell fix --no-clobber --jobs 1 {} -o fixed/{}"
}

# First run, killed once a third of the outputs are there.
setsid bash -c "$(declare -f run_recipe); export HOSTLOG; tonwell='$tonwell' work='$work' run_recipe" \
  >first.out 2>&1 &
pgid=$!
for _ in $(seq 1 600); do
  done_count=$( (find fixed -type f -name '*.jpg' 2>/dev/null || true) | wc -l)
  [ "$done_count" -ge $((total / 3)) ] && break
  sleep 0.05
done
if ! kill -KILL -- "-$pgid" 2>/dev/null; then
  echo "the first run ended before it could be killed; it printed:" >&2
  cat first.out >&2
  exit 1
fi
wait "$pgid" 2>/dev/null || true
pgid=""
after_kill=$(find fixed -type f -name '*.jpg' | wc -l)
if [ "$after_kill" -ge "$total" ]; then
  echo "the run was not killed half-way ($after_kill of $total done); the test proves nothing" >&2
  exit 1
fi
echo "killed with $after_kill of $total outputs written"

# Resumed: the same command.
run_recipe >second.out 2>&1 || { cat second.out >&2; echo "the resumed run failed" >&2; exit 1; }

fail=0
# Each output exactly once, and complete: what a local fix of the same photo writes.
"$tonwell" fix "$sample" -o reference.jpg >/dev/null
outputs=$(find fixed -type f | wc -l)
if [ "$outputs" -ne "$total" ]; then
  echo "expected $total outputs, found $outputs:" >&2; find fixed -type f >&2; fail=1
fi
while IFS= read -r -d '' photo; do
  out="fixed/$photo"
  if ! cmp -s "$out" reference.jpg; then echo "incomplete or missing: $out" >&2; fail=1; fi
done < <(find photos -type f -print0)
# No temporary file of an interrupted write anywhere.
if [ -n "$(find fixed -name '.*' -print)" ]; then
  echo "temporary files left:" >&2; find fixed -name '.*' >&2; fail=1
fi
# The job log has every photo once, done (exit 0): those killed were run again.
for_log=$(awk -F'\t' 'NR > 1 && $7 == 0 { print $9 }' fix.joblog | sort | uniq -c | awk '$1 != 1' | wc -l)
logged=$(awk -F'\t' 'NR > 1 && $7 == 0' fix.joblog | wc -l)
if [ "$logged" -ne "$total" ] || [ "$for_log" -ne 0 ]; then
  echo "job log: $logged jobs done for $total photos" >&2; cat fix.joblog >&2; fail=1
fi
# Both hosts took part.
for h in hostA hostB; do
  grep -qx "$h" hosts.log || { echo "$h ran nothing" >&2; fail=1; }
done
[ $fail -eq 0 ] && echo "all $total outputs present once and complete after the resume"
exit $fail
