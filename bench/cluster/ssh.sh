#!/usr/bin/env bash
# The GNU parallel recipes of docs/segments.md, verbatim, over ssh to two names of this machine (node1, node2)
# and this machine itself: first every machine on the shared folder, then segments without a
# shared folder, copied over and back. Needs root (or sudo) for the installation under
# /usr/local and the packages; starts its own sshd on a spare port, with a key of its own, and
# stops it at the end. For people trying it out, not for CI.
source "$(dirname "$0")/common.sh"
"${sudo[@]}" apt-get install -y -qq openssh-server rsync parallel ffmpeg > /dev/null
install_program
make_clip

# An sshd of our own, and an ssh that knows node1 and node2 as this machine.
port=${CLUSTER_SSH_PORT:-2299}
ssh-keygen -q -t ed25519 -N '' -f "$work/key"
ssh-keygen -q -t ed25519 -N '' -f "$work/hostkey"
cp "$work/key.pub" "$work/authorized_keys"
"${sudo[@]}" mkdir -p /run/sshd
"${sudo[@]}" /usr/sbin/sshd -p "$port" -h "$work/hostkey" -o "AuthorizedKeysFile=$work/authorized_keys" \
    -o PidFile="$work/sshd.pid" -o ListenAddress=127.0.0.1 -o StrictModes=no
cleanups+=("${sudo[*]} kill \$(cat '$work/sshd.pid')")
cat > "$work/ssh_config" <<CONFIG
Host node1 node2
    HostName 127.0.0.1
    Port $port
    IdentityFile $work/key
    StrictHostKeyChecking no
    UserKnownHostsFile /dev/null
    LogLevel ERROR
CONFIG
export PARALLEL_SSH="ssh -F $work/ssh_config"
export HOME=$work            # GNU parallel keeps its files there

echo "== Every machine on the shared folder"
start=$(date +%s.%N)
run_recipe "parallel --nonall -S node1,node2,: 'cd /shared/work && morlunex-cli -j auto -q -o long.265 long.mp4'"
echo "exit status: $?, $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s"
check_output "$shared/long.265"

echo "== Segments without a shared folder"
rm -f "$shared/long.265"
run_recipe 'clip=long.mp4
n=$(ffprobe -v error -count_frames -select_streams v:0 \
        -show_entries stream=nb_read_frames -of csv=p=0 "$clip")
per=64
seq -f %07.0f 0 $per $((n - 1)) |
    parallel -S 1/node1,1/node2 --workdir ... --halt now,fail=1 --transferfile "$clip" \
        --return part_{}.265 --return part_{}.log --cleanup \
        morlunex-cli -q --encoder-log part_{}.log --start {} --frames $per -o part_{}.265 "$clip" &&
morlunex-cli --join long.265 --expect "$n" part_*.265'
check_output "$shared/long.265"
echo "== All recipes worked"
