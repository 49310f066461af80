"""20 clients watch the stream while a run acquires: the run keeps its pace, every client that reads
gets every scan (two that never read lose only their own oldest events), the server's memory stays flat."""
import json
import os
import socket
import tempfile
import threading
import time

from harness import Server

ZYL = os.environ["ZYL"]
SCANS, TIME_MS, SCALE = 60, 2000, 20  # scans of 100 ms at the simulator's time scale


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))


def run(server, name):
    body = {"action": "start", "from": 1000, "to": 60000, "time_ms": TIME_MS, "scans": SCANS, "out": name}
    assert server.post("/api/acquisition", body)[0] == 200
    while (state := json.loads(server.request("GET", "/api/acquisition")[1]))["running"]:
        time.sleep(0.1)
    assert state["ending"] == "completed" and state["spectra"] == SCANS, state
    return SCANS * TIME_MS / 1000 / SCALE / state["elapsed_s"]  # the run's duty cycle


def watch(server, scans, stop, reads):
    s = socket.create_connection(("127.0.0.1", server.port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(("GET /api/events HTTP/1.1\r\nHost: %s\r\n\r\n" % server.host).encode())
    seen, buffer = set(), b""
    while reads and not stop.is_set():
        buffer += s.recv(65536)
        *lines, buffer = buffer.split(b"\n")
        seen.update(json.loads(l[6:])["index"] for l in lines if l.startswith(b'data: {"index"'))
    stop.wait()
    s.close()
    scans.append(seen)


def test_twenty_watchers_slow_neither_the_run_nor_each_other():
    server = Server(ZYL, "--listen", "127.0.0.1:0", "--runs", tempfile.mkdtemp(prefix="zyl-load-"))
    try:
        alone = run(server, "alone.mzML")
        stop, scans = threading.Event(), []
        clients = [threading.Thread(target=watch, args=(server, scans, stop, i >= 2)) for i in range(20)]
        for c in clients:
            c.start()
        watched, memory = [], []
        for i in range(3):  # memory after each run: the first one brings the clients' buffers
            watched.append(run(server, "watched%d.mzML" % i))
            memory.append(rss_kib(server.proc.pid))
        grown = memory[2] - memory[1]
        stop.set()
        for c in clients:
            c.join()
        print({"duty_alone": alone, "duty_watched": watched, "rss_kib": memory})
        assert all(abs(d - alone) <= 0.01 for d in watched), (alone, watched)
        assert sum(len(s) == SCANS for s in scans) >= 18  # every reader saw every scan
        assert grown < 2048
    finally:
        server.stop()
