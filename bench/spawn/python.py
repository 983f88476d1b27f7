"""Python's side of the start race: `python.py MODE N PROGRAM` with
subprocess.run, the streams inherited (run) or output and errors captured
(capture)."""
import resource
import subprocess
import sys
import time


def cpu_with_children():
    return sum(u.ru_utime + u.ru_stime for u in
               (resource.getrusage(resource.RUSAGE_SELF),
                resource.getrusage(resource.RUSAGE_CHILDREN)))


def main():
    capture, calls, program = sys.argv[1] == "capture", int(sys.argv[2]), sys.argv[3]
    wall, thread, everything = time.monotonic(), time.thread_time(), cpu_with_children()
    for _ in range(calls):
        subprocess.run([program], capture_output=capture, check=True)
    per = lambda begun, now: (now - begun) * 1e6 / calls
    print("%.2f %.2f %.2f" % (per(wall, time.monotonic()), per(thread, time.thread_time()),
                              per(everything, cpu_with_children())))


main()
