# shellcheck shell=bash
# Network-namespace hosts for the scripts that run Dovrin and Kestil side by
# side on one machine. Sourced, not run. Every host made here is remembered
# in netns_hosts; netns_remove_all removes them again, so a script calls it
# from its exit trap.
#
# Each function returns non-zero at the first step that fails (after ip has
# said why), so callers can test it even where set -e is not in force.

netns_hosts=()

# netns_add HOST: makes an empty host and remembers it for netns_remove_all.
netns_add() {
  ip netns add "$1" || return
  netns_hosts+=("$1")
}

# netns_cable HOST_A HOST_B: joins two hosts by a virtual cable with an end
# called eth0 in each.
netns_cable() {
  ip -n "$1" link add eth0 type veth peer name eth0 netns "$2"
}

# netns_host_up HOST ADDRESS/LENGTH [INTERFACE]: brings up the host's loopback
# and its interface (eth0 unless given), gives the interface the address and
# routes 224.0.0.0/4 onto it, so multicast leaves by the cable alone.
netns_host_up() {
  local host=$1 address=$2 dev=${3:-eth0}
  ip -n "$host" link set lo up &&
    ip -n "$host" addr add "$address" dev "$dev" &&
    ip -n "$host" link set "$dev" up &&
    ip -n "$host" route add 224.0.0.0/4 dev "$dev"
}

# netns_pair HOST_A HOST_B ADDRESS_A ADDRESS_B: two hosts joined by one cable,
# each with its address and the multicast route.
netns_pair() {
  netns_add "$1" && netns_add "$2" && netns_cable "$1" "$2" &&
    netns_host_up "$1" "$3" && netns_host_up "$2" "$4"
}

# netns_switch HOST: a host that holds nothing but a bridge, br0, forwarding
# every multicast frame to every port (no IGMP snooping), as a plain switch.
netns_switch() {
  local host=$1
  netns_add "$host" &&
    ip -n "$host" link set lo up &&
    ip -n "$host" link add br0 type bridge mcast_snooping 0 || return
  # A switch does not run the firewall on the frames it forwards; where the
  # bridge firewall hooks are loaded they would add their cost to the sender.
  ip netns exec "$host" sysctl -qw net.bridge.bridge-nf-call-iptables=0 \
    net.bridge.bridge-nf-call-ip6tables=0 net.bridge.bridge-nf-call-arptables=0 2>/dev/null || true
  ip -n "$host" link set br0 up
}

# netns_plug SWITCH HOST PORT: a cable from eth0 in HOST to a port named PORT
# on SWITCH's bridge.
netns_plug() {
  local switch=$1 host=$2 port=$3
  ip link add eth0 netns "$host" type veth peer name "$port" netns "$switch" &&
    ip -n "$switch" link set "$port" master br0 up
}

# netns_remove_all: ends whatever still runs inside the hosts made here and
# removes them, newest first. Never fails, so an exit trap goes on past it.
netns_remove_all() {
  local i host
  for ((i = ${#netns_hosts[@]} - 1; i >= 0; i--)); do
    host=${netns_hosts[i]}
    ip netns pids "$host" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns delete "$host" 2>/dev/null || true
  done
  netns_hosts=()
}
