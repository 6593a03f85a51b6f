#!/bin/sh
# The NFS guest's init (tests/storage/nfs.sh boots it): starts the kernel
# NFS server on /export, makes two clients, each in network, UTS and mount
# namespaces of its own, and runs the storage check on their two mounts,
# NFSv3 then NFSv4.2, default mount options. The guest has no network
# device: every address below exists only inside it. Powers off at the end.
me=nfs-guest bin=/payload/bin src=/payload/src packages='' TIMING=/payload/timing
. "$src/tests/storage/common.sh"
exec >/dev/console 2>&1
stop() {
  echo "$me: done, failed=$1"
  sync
  echo o >/proc/sysrq-trigger
  sleep 10
}
mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /tmp && ip link set lo up && hostname server ||
  stop setup

# The server, with grace periods of 10 s so the first lock does not wait 90.
modprobe nfsd && modprobe nfs && modprobe nfsv3 && modprobe nfsv4 || stop modules
mkdir -p /export /run/rpcbind /var/lib/nfs/sm /var/lib/nfs/sm.bak &&
  echo '/export *(rw,sync,no_root_squash,no_subtree_check)' >/etc/exports &&
  mount -t nfsd nfsd /proc/fs/nfsd && rpcbind -w && rpc.statd --no-notify && exportfs -ra &&
  echo 10 >/proc/fs/nfsd/nfsv4gracetime && echo 10 >/proc/fs/nfsd/nfsv4leasetime &&
  echo 10 >/proc/sys/fs/nfs/nlm_grace_period && rpc.nfsd 8 && rpc.mountd || stop server

# Client i: a veth pair from the server's namespace to namespace ci, a host
# name and an NFSv4 client identifier of its own, and the rpcbind and status
# monitor that NFSv3 locks need, in a mount namespace whose /run is its own.
# A process stays in those namespaces.
for i in 1 2; do
  ip netns add c$i && ip link add s$i type veth peer name v$i && ip link set v$i netns c$i &&
    ip addr add 10.99.$i.1/24 dev s$i && ip link set s$i up || stop "client $i"
  ip netns exec c$i unshare --uts sh -c "
    hostname client$i && ip link set lo up && ip addr add 10.99.$i.2/24 dev v$i && ip link set v$i up &&
    mount -t tmpfs tmpfs /run && mkdir -p /run/rpcbind /run/statd/sm /run/statd/sm.bak /mnt/c$i &&
    rpcbind -w && rpc.statd --no-notify -P /run/statd &&
    echo fare-settle-client$i >/sys/fs/nfs/net/nfs_client/identifier && exec sleep 100000" &
  eval holder$i=$!
done
sleep 2

# mountall VERSION: each client mounts /export afresh on /mnt/ci, first in
# its own mount namespace, where its lockd registers with its own rpcbind,
# then in the guest's, where every process sees it; unmounted the other way.
mountall() {
  for i in 1 2; do
    eval h=\$holder$i
    nsenter -t "$h" -n -u umount /mnt/c$i 2>/dev/null
    nsenter -t "$h" -m -n -u umount /mnt/c$i 2>/dev/null
    for ns in "-m -n -u" "-n -u"; do
      nsenter -t "$h" $ns mount -t nfs -o vers=$1 10.99.$i.1:/export /mnt/c$i || stop "mount $1"
    done
  done
}

# What the server sees while the check runs: its NFSv4 clients, and the
# addresses that hold connections to it.
watch() {
  while :; do
    echo "v4 clients: $(ls /proc/fs/nfsd/clients 2>/dev/null | wc -l):" \
      $(cat /proc/fs/nfsd/clients/*/info 2>/dev/null | sed -n 's/^name: //p')
    echo "connected from:" $(ss -Htn state established '( sport = :2049 )' | awk '{ print $4 }' | sed 's/:[0-9]*$//' | sort -u)
    sleep 5
  done >"/tmp/watch.$1"
}

# run VERSION exact|figures: the check on NFS VERSION, with what the server saw.
run() {
  mountall "$1"
  watch "$1" &
  w=$!
  check "NFS $1, default mount options, two clients" "$2" /mnt/c1 /mnt/c2
  kill $w
  sort /tmp/watch."$1" | uniq -c | sort -rn | head -n 4 | sed "s|^ *[0-9]* |$me: NFS $1: the server saw |"
}

echo "$me: Linux $(uname -r), nfs-kernel-server $(dpkg-query -W -f '${Version}' nfs-kernel-server)"
CHECK_SECONDS=900
run 3 exact
# NFSv4.2 runs have blocked for minutes with two clients: figures only, and
# a shorter limit.
CHECK_SECONDS=480
run 4.2 figures
stop $failed
