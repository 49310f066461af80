"""Starts `zyl --sim serve` on a free port and talks HTTP to it (raw, so malformed requests can be sent)."""
import os
import re
import socket
import subprocess
import json
import tempfile


class Server:
    def __init__(self, zyl, *args, scale="20", cwd=None):
        self.log = tempfile.TemporaryFile("w+")  # a pipe nobody reads would stall its log lines
        self.proc = subprocess.Popen(
            [zyl, "--sim", "--sim-state", "none", "--sim-time-scale", scale, "serve", *args],
            stdout=subprocess.PIPE, stderr=self.log, text=True, cwd=cwd,
            env=dict(os.environ, ZYL_BACKEND=""))
        line = self.proc.stdout.readline()
        m = re.match(r"zyl serve: (http://([^/]+)/)(#token=(\w+))?", line)
        if not m:
            self.proc.kill()
            raise RuntimeError("no URL from zyl serve: %r %s" % (line, self.stderr()))
        self.url, self.host, self.token = m.group(1), m.group(2), m.group(4) or ""
        self.port = int(self.host.rsplit(":", 1)[1])
        self.local = "http://127.0.0.1:%d/" % self.port

    def raw(self, data, timeout=5.0):
        """Sends bytes on a new connection; the status code of the answer (0: none)."""
        reply = b""
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
                s.sendall(data)
                while chunk := s.recv(65536):
                    reply += chunk
        except OSError:
            pass  # refused, reset, or kept open: what came is the answer
        m = re.match(rb"HTTP/1\.[01] (\d{3})", reply)
        return (int(m.group(1)) if m else 0), reply

    def request(self, method, path, body=None, headers=None, host=None):
        head = {"Host": host or self.host, "Connection": "close"}
        head.update(headers or {})
        payload = b"" if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
        if body is not None:
            head.setdefault("Content-Type", "application/json")
            head["Content-Length"] = str(len(payload))
        text = "%s %s HTTP/1.1\r\n%s\r\n" % (method, path, "".join("%s: %s\r\n" % kv for kv in head.items()))
        code, reply = self.raw(text.encode() + payload)
        return code, reply.partition(b"\r\n\r\n")[2]

    def post(self, path, body, token=None, origin=None):
        headers = {"Origin": origin or "http://" + self.host}
        if token is not None or self.token:
            headers["X-Zyl-Token"] = self.token if token is None else token
        return self.request("POST", path, body, headers)

    def status(self):
        code, body = self.request("GET", "/api/status")
        assert code == 200, code
        return json.loads(body)

    def stderr(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        self.proc.terminate()
        try:
            return self.proc.wait(timeout=90)  # connections left open end by the idle limit
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None
