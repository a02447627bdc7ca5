#!/usr/bin/env bash
# The shipped job array on a one-node Slurm cluster started here: munged, slurmctld and slurmd on
# localhost, in the background under a private folder, stopped by their process ids at the end.
# Its outputs must equal a plain quirna-ocr-batch run and quirna-ocr's own lines.
#
#   bash tests/slurm-array.sh BUILD-DIR    (ctest runs it; 77 means skipped)
set -euo pipefail
build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
tasks=3

# Debian's packages are enough, without their services: the daemons run as this user.
for package in slurmctld slurmd slurm-client munge; do
  if [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) != "install ok installed" ]]; then
    sudo=()
    if [[ $(id -u) -ne 0 ]]; then
      sudo -n true 2>/dev/null || { echo "Slurm missing, no root to install it: skipped"; exit 77; }
      sudo=(sudo -n)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
      slurm-wlm munge >/dev/null
    break
  fi
done

work=$(mktemp -d)
chmod 755 "$work"  # munged wants its socket's folders open to all
pids=()
stop() {
  local status=$? pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ $status -ne 0 ]]; then tail -n 20 "$work"/*.log >&2 || true; fi
  rm -rf "$work"
}
trap stop EXIT
cd "$work"
mkdir state spool in

# A key and socket of our own, so that a munged already running is left alone.
head -c 1024 /dev/urandom >munge.key
chmod 600 munge.key
/usr/sbin/munged --foreground --socket="$work/munge.socket" --key-file=munge.key \
  --pid-file="$work/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munged.seed" \
  2>/dev/null &
pids+=($!)

# Ports from this process's id, so that two runs on one machine do not meet.
port=$((20000 + $$ % 20000 * 2))
cat >slurm.conf <<EOF
ClusterName=quirna
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=$(id -un)
SlurmdUser=$(id -un)
AuthType=auth/munge
AuthInfo=socket=$work/munge.socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/pgid
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
NodeName=quirna NodeHostname=$(hostname) NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=quirna Default=YES MaxTime=10 State=UP
EOF
export SLURM_CONF=$work/slurm.conf
for _ in $(seq 100); do [[ -S munge.socket ]] && break; sleep 0.1; done
/usr/sbin/slurmctld -D -i 2>/dev/null &
pids+=($!)
/usr/sbin/slurmd -D -N quirna 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do
  [[ $(sinfo -h -n quirna -o %t 2>/dev/null) == idle ]] && break
  sleep 0.3
done

# sbatch --wait polls ever more slowly; a job this short is done in seconds.
finish() {
  local queued
  for _ in $(seq 600); do
    queued=$(squeue -h -j "$1" -o %i 2>/dev/null) || queued=unknown
    [[ -z $queued ]] && return
    sleep 0.3
  done
}
# The shipped file as it stands: no CPU count, the shard count from QUIRNA_OCR_SHARDS.
submit() {
  sbatch --parsable --output="$work/task-%a.log" \
    --export=ALL,QUIRNA_OCR_SHARDS=$tasks,QUIRNA_OCR_BATCH="$build/quirna-ocr-batch" "$@" \
    "$repo/contrib/slurm/quirna-ocr-array.sbatch" "$work/out" "$work/in"
}

cp "$repo"/tests/data/*.pdf "$repo"/tests/data/page.png "$repo"/samples/opening-hours.png in/
finish "$(submit --array=0-$((tasks - 1)))"
"$build/quirna-ocr-batch" --quiet --output plain in || true

# Each task wrote its own index; together they list every input once.
[[ $(ls out/index.*-of-$tasks.jsonl | wc -l) -eq $tasks ]]
[[ $(cat out/index.*.jsonl | wc -l) -eq $(ls in | wc -l) ]]
diff -r --exclude='index*' --exclude=.lock plain out
for file in in/*; do
  cmp <("$build/quirna-ocr" "$file") "out/${file#in/}.json"
done

# Task 1 resubmitted alone redoes its lost output into its own index; a task past the shard count
# is refused.
lost=$(grep -o '"output":"[^"]*"' out/index.1-of-$tasks.jsonl | head -n 1 | cut -d'"' -f4)
rm "out/$lost"
index0=$(cat out/index.0-of-$tasks.jsonl)
index1=$(cat out/index.1-of-$tasks.jsonl)
finish "$(submit --array=1)"
finish "$(submit --array=$tasks)"
cmp plain/"$lost" out/"$lost"
[[ $(cat out/index.0-of-$tasks.jsonl) == "$index0" ]]
# The redone input's line comes last, the one that counts (a last line naming an output no longer
# there is replaced, as after a kill before the rename).
[[ $(cat out/index.1-of-$tasks.jsonl) != "$index1" ]]
tail -n 1 out/index.1-of-$tasks.jsonl | grep -qF "\"output\":\"$lost\",\"status\":\"ok\""
[[ ! -e out/index.jsonl ]]
grep -q "past the $tasks shards" task-$tasks.log
# One view of every shard's index: each input has its line (some are failures of quirna-ocr's own).
status=$("$build/quirna-ocr-batch" --status --output out in || true)
[[ $status == *", 0 not yet run" ]]
echo "job array of $tasks tasks: $(ls in | wc -l) outputs equal to quirna-ocr's; task 1 resubmitted"
