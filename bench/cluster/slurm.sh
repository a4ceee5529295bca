#!/usr/bin/env bash
# The Slurm recipes of docs/segments.md, verbatim, on a one-node Slurm cluster (Debian's slurm-wlm and munge)
# that this script configures in a folder of its own, starts, and stops at the end, with
# nothing left running: the array of identical tasks and srun on the shared folder, then one
# task per segment with the join after them. Needs root (or sudo) for the packages, the
# daemons and the installation under /usr/local. For people trying it out, not for CI.
source "$(dirname "$0")/common.sh"
"${sudo[@]}" apt-get install -y -qq slurm-wlm munge ffmpeg > /dev/null
install_program
make_clip

# munge with a key of its own, on a socket of its own.
mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/log"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 2> /dev/null
chmod 400 "$work/munge/munge.key"
"${sudo[@]}" /usr/sbin/munged --force --socket="$work/munge/socket" --key-file="$work/munge/munge.key" \
    --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/seed"
cleanups+=("${sudo[*]} kill \$(cat '$work/munge/munged.pid')")

host=$(hostname)
export SLURM_CONF=$work/slurm.conf
cat > "$SLURM_CONF" <<CONF
ClusterName=morlunex
SlurmctldHost=$host
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
SlurmctldPort=${CLUSTER_SLURM_PORT:-26817}
SlurmdPort=$(( ${CLUSTER_SLURM_PORT:-26817} + 1 ))
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmdSpoolDir=$work/spool
StateSaveLocation=$work/state
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobCompType=jobcomp/none
NodeName=$host CPUs=$(nproc) State=UNKNOWN
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
"${sudo[@]}" env SLURM_CONF="$SLURM_CONF" slurmctld
cleanups+=("${sudo[*]} kill \$(cat '$work/slurmctld.pid')")
"${sudo[@]}" env SLURM_CONF="$SLURM_CONF" slurmd
cleanups+=("${sudo[*]} kill \$(cat '$work/slurmd.pid')")
for _ in $(seq 50); do sinfo -h -o %T 2> /dev/null | grep -q idle && break; sleep 0.2; done
sinfo
cleanups+=("scancel --user=$(id -un) 2> /dev/null")

# Waits until the queue has none of this user's jobs (or gives up after 15 minutes).
drain() {
    for _ in $(seq 900); do [ -z "$(squeue -h -u "$(id -un)")" ] && return 0; sleep 1; done
    echo "FAILED: jobs still queued"; squeue; return 1
}

echo "== An array of identical tasks on the shared folder"
cat > "$shared/encode.sh" <<'SCRIPT'
#!/bin/bash
#SBATCH --job-name=morlunex
#SBATCH --cpus-per-task=1
#SBATCH --output=encode_%a.log
exec morlunex-cli -j "$SLURM_CPUS_PER_TASK" -q -o long.265 long.mp4
SCRIPT
run_recipe 'cd /shared/work && sbatch --array=0-1 encode.sh'
drain
grep -H . "$shared"/encode_*.log || echo "(the tasks' logs are empty: -q)"
check_output "$shared/long.265"

echo "== The same command as two tasks with srun"
rm -f "$shared/long.265"
run_recipe 'cd /shared/work && srun -n 2 -c 1 morlunex-cli -j 1 -q -o long.265 long.mp4'
check_output "$shared/long.265"

echo "== One task per segment, the join after them"
rm -f "$shared/long.265"
cat > "$shared/encode-parts.sh" <<'SCRIPT'
#!/bin/bash
#SBATCH --job-name=morlunex-parts
#SBATCH --cpus-per-task=1
#SBATCH --output=part_%a.log
set -euo pipefail
start=$((SLURM_ARRAY_TASK_ID * PER))
exec morlunex-cli -q --encoder-log "$(printf 'part_%07d.log' "$start")" --start "$start" \
    --frames "$PER" -o "$(printf 'part_%07d.265' "$start")" "$INPUT"
SCRIPT
run_recipe 'clip=long.mp4
n=$(ffprobe -v error -count_frames -select_streams v:0 \
        -show_entries stream=nb_read_frames -of csv=p=0 "$clip")
per=64
job=$(sbatch --parsable --array=0-$(( (n - 1) / per )) \
          --export=ALL,PER=$per,INPUT=$clip encode-parts.sh)
sbatch --dependency=afterok:$job --kill-on-invalid-dep=yes \
    --wrap "morlunex-cli --join long.265 --expect $n part_*.265"'
drain
cat "$shared"/slurm-*.out
check_output "$shared/long.265"
echo "== All recipes worked"
