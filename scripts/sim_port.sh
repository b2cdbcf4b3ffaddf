# Sourced by the scripts that start korvane-sim.exe under Wine on a free loopback port (the demo,
# the installer and tools tests).
# sim_port <its standard output file> <its pid>: waits up to 10 s for its "listening on
# 127.0.0.1:N" line (a Windows build ends it with CR) and prints N; status 1 when the simulator
# exited first or never said it.
sim_port() {
  for _ in $(seq 100); do
    sim_port_found=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)\r*$/\1/p' "$1")
    if [ -n "$sim_port_found" ]; then
      printf '%s\n' "$sim_port_found"
      return 0
    fi
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
