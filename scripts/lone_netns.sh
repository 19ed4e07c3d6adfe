# Sourced by the scripts that run the program against the reference service
# in a network namespace of their own.
#
# lone_netns NAME: loopback, plus one veth pair that nobody answers on, so
# the program finds an adapter and a default route (its checks and its LAN
# sweep need both) while no packet leaves the namespace.
lone_netns() {
  ip netns add "$1"
  ip -n "$1" link set lo up
  ip -n "$1" link add qv0 type veth peer name qv1
  ip -n "$1" addr add 10.213.0.1/24 dev qv0
  ip -n "$1" link set qv0 up
  ip -n "$1" link set qv1 up
  ip -n "$1" route add default via 10.213.0.254 dev qv0
}
