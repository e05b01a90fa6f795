"""Prints the benchmark medians of scripts/bench.sh as a table of ratios to
their floors, as Markdown, so that it can go into BENCHMARKS.md as it is."""
import json
import sys


def medians(path):
    with open(path) as f:
        report = json.load(f)
    result = {}
    # With one repetition there are no aggregates: the single run stands in.
    repeated = any(run.get("aggregate_name") == "median" for run in report["benchmarks"])
    for run in report["benchmarks"]:
        if repeated and run.get("aggregate_name") != "median":
            continue
        name = run["run_name"]
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        result[name] = {"ns": run["real_time"] * scale, "cpu": run["cpu_time"] * scale,
                        "bytes": run.get("bytes_per_second")}
    return result, report["context"]


def bests(path):
    """The best round (least real time) of every benchmark: with rounds
    interleaved, a floor's best and a figure's best are the runs least
    disturbed by the scheduler, so their ratio is the stable one."""
    with open(path) as f:
        report = json.load(f)
    result = {}
    for run in report["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        ns = run["real_time"] * scale
        name = run["run_name"]
        result[name] = min(ns, result.get(name, ns))
    return result


def fmt_ns(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.2f us" % (ns / 1e3)
    return "%.0f ns" % ns


def fmt_rate(rate):
    if rate is None:
        return ""
    for unit, size in (("GiB/s", 2**30), ("MiB/s", 2**20), ("KiB/s", 2**10)):
        if rate >= size:
            return "%.1f %s" % (rate / size, unit)
    return "%.0f B/s" % rate


def main():
    double_runs, context = medians(sys.argv[1])
    embedded_runs, _ = medians(sys.argv[2])
    embedded_bests = bests(sys.argv[2])

    def double(name):
        return double_runs[name + "/real_time"]

    def embedded(name):
        return embedded_runs[name + "/real_time"]

    # Work that stays on the benchmark's own thread (floors a and c, event
    # intake) is compared in CPU time, which other processes on the machine
    # barely disturb; work that crosses threads can only be compared in real time.
    a = double("Floor_A_NativeCall")["cpu"]
    b = double("Floor_B_TaskHandoff")["ns"]
    c = double("Floor_C_EventAndReply")["cpu"]
    rows = []

    def row(name, ns, ratio="", goal="", verdict="", rate=None):
        rows.append((name, fmt_ns(ns), ratio, goal, verdict, fmt_rate(rate)))

    def judged(name, ns, floor, floor_name, limit):
        ratio = ns / floor
        row(name, ns, "%.2f x %s" % (ratio, floor_name), "<= %.1f" % limit, "met" if ratio <= limit else "MISSED")

    row("floor a: encode + native copy + decode + free (CPU)", a)
    row("floor b: task hand-off and back", b)
    row("floor c: decode event + encode reply (CPU)", c)
    judged("dispatchAsync().get()", double("Dispatch_Get")["ns"], a + b, "(a+b)", 1.3)
    for bench, label in (("Dispatch_Burst", "burst"), ("Dispatch_Pipelined", "pipelined")):
        # Flatness is judged on the dispatching thread's CPU time, where the
        # cost of tracking the futures lies; real time is shown beside it.
        first = None
        for n in (1000, 10000, 100000):
            run = double("%s/%d" % (bench, n))
            per, cpu = run["ns"] / n, run["cpu"] / n
            name = "%s N=%d in flight, per dispatch (real; CPU)" % (label, n)
            shown = "%s; %s" % (fmt_ns(per), fmt_ns(cpu))
            if first is None:
                first = cpu
                rows.append((name, shown, "", "", "", ""))
            else:
                ratio = cpu / first
                rows.append((name, shown, "%.2f x N=1k (CPU)" % ratio, "<= 1.3",
                             "met" if ratio <= 1.3 else "MISSED", ""))
    judged("event intake, per event (CPU)", double("Event_Intake")["cpu"], c, "c", 1.5)
    for size, label in ((16, "16 B"), (1024, "1 KiB"), (65536, "64 KiB"), (1048576, "1 MiB")):
        one = embedded("RoundTrip/%d" % size)
        row("round trip %s, one at a time" % label, one["ns"], "%.2f x (a+b)" % (one["ns"] / (a + b)),
            rate=one["bytes"])
        piped = embedded("RoundTrip_Pipelined/%d" % size)
        per = piped["ns"] / 16
        row("round trip %s, 16 in flight, per trip" % label, per, "%.2f x one at a time" % (per / one["ns"]),
            rate=piped["bytes"])
    row("runtime connect + disconnect", embedded("Runtime_ConnectDisconnect")["ns"])
    row("channel connect + disconnect", embedded("Channel_ConnectDisconnect")["ns"])

    model = sys.argv[3] if len(sys.argv) > 3 else "unknown CPU"
    print("Machine: %s, %d CPUs at %s MHz; medians of %s repetitions" % (
        model, context["num_cpus"], context["mhz_per_cpu"], sys.argv[4] if len(sys.argv) > 4 else "?"))
    print()
    header = ("measure", "median", "ratio", "goal", "", "payload rate")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print("| " + " | ".join(r) + " |")

    def best(name):
        return embedded_bests[name + "/real_time"]

    print()
    print("Embedded round trips, one at a time, against their floors; best round against best round")
    print()
    # Beside each goal, the floor of the road the interfaces leave: the worker
    # waits inside the native call (small payloads), and the copies that the
    # public and the native interface force are made (large ones).
    header = ("payload", "floor", "round trip", "ratio", "goal", "", "road's floor", "its / floor",
              "round trip / its")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for size, label in ((16, "16 B"), (1024, "1 KiB"), (65536, "64 KiB")):
        floor, trip = best("Floor_InProcess/%d" % size), best("RoundTrip/%d" % size)
        road = "Floor_InProcessCopying/%d" % size if size >= 65536 else "Floor_InProcessWaiting/%d" % size
        road_time = best(road)
        ratio = trip / floor
        print("| %s | %s in-process | %s | %.2f x | <= 1.5 | %s | %s %s | %.2f x | %.2f x |" % (
            label, fmt_ns(floor), fmt_ns(trip), ratio, "met" if ratio <= 1.5 else "MISSED", fmt_ns(road_time),
            "copying" if size >= 65536 else "waiting worker", road_time / floor, trip / road_time))
    library_copies = []
    for size, label in ((1 << 20, "1 MiB"), (1 << 24, "16 MiB")):
        floor, trip = best("Floor_Memcpy/%d" % size), best("RoundTrip/%d" % size)
        road_time = best("Floor_InProcessCopying/%d" % size)
        library_time = best("Floor_InProcessLibraryCopying/%d" % size)
        library_copies.append("%s %s, 1/%.1f of memcpy" % (label, fmt_ns(library_time), library_time / floor))
        # Payload bytes per second of the round trip over memcpy's.
        share = floor / trip
        print("| %s | %s memcpy (%s) | %s (%s) | 1/%.1f of memcpy | >= 1/8 | %s | %s copying | 1/%.1f | %.2f x |" % (
            label, fmt_ns(floor), fmt_rate(size * 1e9 / floor), fmt_ns(trip), fmt_rate(size * 1e9 / trip),
            1 / share, "met" if share >= 1 / 8 else "MISSED", fmt_ns(road_time), road_time / floor,
            trip / road_time))
    print()
    print("The four copies that the library's interfaces force, without the adapter's copy of the event: " +
          ", ".join(library_copies))

if __name__ == "__main__":
    main()
