#!/bin/sh
# Idle cost and stop time of `Tallowguard.exe --service` under Wine, beside a
# trivial idle Win32 process (bench/engine_helper_win32.c) under the same
# Wine: private memory (the process's anonymous resident pages), CPU used between two ticks of the loop, and the time from a stop
# request to the end of the process, run by hand (stop event) and under the
# Service Control Manager (STOP control); memory and CPU both ways too.
# usage: bench/run_service.sh        (after tools/build.sh win64)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$root" <<'PY'
import os, subprocess, sys, time
sys.path.insert(0, os.path.join(sys.argv[1], "bench"))
from engine_bench_common import *

build_helpers()
print("machine: " + machine())
px = Prefix("service")
px.create()
WINDOW = 30  # seconds, inside one 60 s tick of the loop


def idle_figures(proc_marker):
    pid = px.linux_pid(proc_marker)
    mem = private_kib(pid)
    cpu0 = cpu_ms(pid)
    return pid, mem, cpu0


def stop_agent(agent):
    rc, out = px.output("wine", HELPER, "stop", windows_pid(px.log()))
    agent.wait(timeout=60)
    return int(out.strip()) if rc == 0 else -1


try:
    idle = px.start("idle", exe=IDLE)
    idle2 = px.start("idle", "1", exe=IDLE)
    time.sleep(3)
    base_pid, base_mem, base_cpu0 = idle_figures("engine_idle.exe\x00idle\x00\x00")
    two_pid = px.linux_pid("engine_idle.exe\x00idle\x001\x00")
    two_mem = private_kib(two_pid)

    # The engine alone: paused, so no scan has run yet.
    with open(os.path.join(px.data_dir, "config.ini"), "w") as f:
        f.write("server_url=\npaused=1\n")
    agent = px.start("--service")
    wait_for(lambda: "realtime: " in px.log(), 60)
    time.sleep(5)
    pid = px.linux_pid("Tallowguard.exe")
    paused_mem, cpu0 = private_kib(pid), cpu_ms(pid)
    time.sleep(WINDOW)
    paused_cpu = cpu_ms(pid) - cpu0
    stop_paused_ms = stop_agent(agent)

    # The engine after its start-up scan.
    with open(os.path.join(px.data_dir, "config.ini"), "w") as f:
        f.write("server_url=\n")
    os.remove(os.path.join(px.data_dir, "scans.log")) if os.path.exists(
        os.path.join(px.data_dir, "scans.log")) else None
    agent = px.start("--service")
    if not wait_for(lambda: "|quick|" in px.read("scans.log"), 120):
        sys.exit("the agent did not finish its start-up scan:\n" + px.log())
    time.sleep(3)  # the scan's last writes and frees
    pid = px.linux_pid("Tallowguard.exe")
    scanned_mem, cpu0 = private_kib(pid), cpu_ms(pid)
    base_cpu0 = cpu_ms(base_pid)
    time.sleep(WINDOW)
    scanned_cpu, base_cpu = cpu_ms(pid) - cpu0, cpu_ms(base_pid) - base_cpu0
    manual_ms = stop_agent(agent)

    exe_win = "Z:" + EXE.replace("/", "\\")
    px.quiet("wine", "sc", "create", "Tallowguard", "binPath=", '"%s" --service' % exe_win)
    px.quiet("wine", "sc", "start", "Tallowguard")
    wait_for(lambda: "service running under SCM" in px.log(), 60)
    if not wait_for(lambda: px.read("scans.log").count("|quick|") >= 2, 120):
        sys.exit("the service did not finish its start-up scan:\n" + px.log())
    time.sleep(3)
    pid = px.linux_pid("Tallowguard.exe")
    scm_mem, cpu0 = private_kib(pid), cpu_ms(pid)
    base_cpu0 = cpu_ms(base_pid)
    time.sleep(WINDOW)
    scm_cpu, scm_base_cpu = cpu_ms(pid) - cpu0, cpu_ms(base_pid) - base_cpu0
    rc, out = px.output("wine", HELPER, "scstop", windows_pid(px.log()))
    scm_ms = int(out.strip()) if rc == 0 else -1
    px.quiet("wine", "sc", "delete", "Tallowguard")

    print("%-50s %10s %8s" % ("private memory", "KiB", "ratio"))
    print("%-50s %10d %8.2f" % ("trivial idle process (baseline)", base_mem, 1.0))
    print("%-50s %10d %8.2f" % ("trivial idle process with one more thread", two_mem,
                                two_mem / float(base_mem)))
    print("%-50s %10d %8.2f   (target <= 2.00)" % ("Tallowguard --service, no scan run yet",
                                                   paused_mem, paused_mem / float(base_mem)))
    print("%-50s %10d %8.2f   (target <= 2.00)" % ("Tallowguard --service after its start-up scan",
                                                   scanned_mem, scanned_mem / float(base_mem)))
    print("%-50s %10d %8.2f   (target <= 2.00)" % ("Tallowguard service under the SCM, after its scan",
                                                   scm_mem, scm_mem / float(base_mem)))
    print("%-50s %10s %10s" % ("CPU in %d s between ticks" % WINDOW, "Tallowguard", "baseline"))
    print("%-50s %8d ms %8d ms" % ("  no scan run yet", paused_cpu, base_cpu))
    print("%-50s %8d ms %8d ms" % ("  after the start-up scan", scanned_cpu, base_cpu))
    print("%-50s %8d ms %8d ms" % ("  under the SCM, after the start-up scan", scm_cpu,
                                   scm_base_cpu))
    print("%-50s %10s %8s" % ("stop request -> process end (no scan running)", "ms", "ratio"))
    for label, ms in (("stop event, paused agent", stop_paused_ms),
                      ("stop event, after the start-up scan", manual_ms),
                      ("SCM STOP control", scm_ms)):
        print("%-50s %10d %8.2f   (target <= 2000 ms)" % ("  " + label, ms, ms / 2000.0))
    idle.kill()
    idle2.kill()
finally:
    px.destroy()
PY
