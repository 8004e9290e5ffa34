"""The line under the browser test: `sensor-sim --count 3` and `zurid serve` on it (started,
stopped, over HTTP or HTTPS with a certificate made here), the API as a script calls it and
the simulator's request log."""
import json
import os
import signal
import socket
import ssl
import subprocess
import time
import urllib.request


class Failed(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def api(base, path, context=None, method="GET", body=None, token=None):
    request = urllib.request.Request(
        base + path, method=method, data=None if body is None else json.dumps(body).encode(),
        headers={"Content-Type": "application/json"} | (
            {"Authorization": f"Bearer {token}"} if token else {}))
    with urllib.request.urlopen(request, timeout=10, context=context) as r:
        return json.load(r)


def make_certificate(work):
    """A self-signed certificate for localhost and 127.0.0.1; its key's SHA-256 for Chromium's
    --ignore-certificate-errors-spki-list, which trusts that key alone."""
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key,
                    "-out", cert], check=True, capture_output=True, timeout=30)
    os.chmod(key, 0o600)
    spki = subprocess.run(
        "openssl x509 -in cert.pem -pubkey -noout | openssl pkey -pubin -outform der | "
        "openssl dgst -sha256 -binary | base64", shell=True, cwd=work, check=True,
        capture_output=True, text=True, timeout=30).stdout.strip()
    return cert, key, spki


def until(what, test, seconds, step=0.2):
    end = time.monotonic() + seconds
    while True:
        try:
            got = test()
        except (OSError, ValueError):
            got = None
        if got:
            return got
        if time.monotonic() > end:
            raise Failed(f"{what}: not within {seconds} s")
        time.sleep(step)


def writes(log_path):
    """The write requests (orders 1 RAM, 2 EEPROM) in sensor-sim's log: (sensor, order, block)."""
    out = []
    with open(log_path, encoding="ascii") as f:
        for line in f:
            fields = line.split()
            frame = bytes(int(b, 16) for b in fields[2:])
            if len(frame) == 17 and frame[1] in (1, 2):
                out.append((int(fields[0]), frame[1], frame[2:]))
    return out


class Line:
    """sensor-sim with three sensors, and `zurid serve` on them (started and stopped, with
    `options` added to its command line)."""

    def __init__(self, bin_dir, work, sim_options=()):
        self.bin = bin_dir
        self.work = work
        self.log = os.path.join(work, "requests.log")
        self.options = []
        self.sim = subprocess.Popen([os.path.join(bin_dir, "sensor-sim"), "--count", "3",
                                     "--log", self.log, *sim_options], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True, cwd=work)
        paths = [self.sim.stdout.readline().strip() for _ in range(3)]
        if not all(paths):
            self.sim.kill()
            raise Failed("sensor-sim did not print its three ports")
        # A journal of its own, so that the History shows this line's writes alone.
        self.env = dict(os.environ, ZURID_PORTS=":".join(paths),
                        ZURID_JOURNAL=os.path.join(work, "journal", "journal.jsonl"))
        self.port = free_port()
        self.cert, self.key, self.spki = make_certificate(work)
        self.tls = False
        self.context = None
        self.token_file = os.path.join(work, "token")
        self.serve = None
        self.started = False

    @property
    def base(self):
        return f"{'https' if self.tls else 'http'}://127.0.0.1:{self.port}"

    def use_tls(self, on):
        """From the next start: HTTPS and WSS on the same port, or plain HTTP."""
        self.tls = on
        self.context = ssl.create_default_context(cafile=self.cert) if on else None

    def start(self):
        """Starts the server; on its first start, on another port if this one was taken
        meanwhile (other test runs pick free ports too). A restart keeps the page's port."""
        for attempt in range(3):
            self.serve_out = open(os.path.join(self.work, "serve.out"), "a")
            tls = ["--tls-cert", self.cert, "--tls-key", self.key] if self.tls else []
            self.serve = subprocess.Popen(
                [os.path.join(self.bin, "zurid"), "serve", "COM1", "COM2", "COM3",
                 "--listen", f"127.0.0.1:{self.port}", "--token-file", self.token_file,
                 "--backups", os.path.join(self.work, "backups")] + tls + self.options,
                env=self.env, cwd=self.work, stdout=self.serve_out, stderr=subprocess.STDOUT)
            try:
                until("three sensors ok in /api/v1/sensors, or the server's end",
                      lambda: self.serve.poll() is not None or [
                          s["status"] for s in api(self.base, "/api/v1/sensors",
                                                   self.context)["sensors"]
                      ] == ["ok"] * 3, 30)
            except Failed as e:
                raise Failed(f"{e}; they are {self.statuses()}") from None
            if self.serve.poll() is None:
                self.started = True
                return
            self.serve_out.close()
            if self.serve.returncode != 1 or self.started:
                break
            self.port = free_port()
        raise Failed(f"zurid serve ended at start with exit code {self.serve.returncode}")

    def statuses(self):
        try:
            return [(s["id"], s["status"], s["message"])
                    for s in api(self.base, "/api/v1/sensors", self.context)["sensors"]]
        except (OSError, ValueError) as e:
            return str(e)

    def stop(self):
        self.serve.send_signal(signal.SIGTERM)
        code = self.serve.wait(15)
        self.serve = None
        self.serve_out.close()
        if code != 0:
            raise Failed(f"zurid serve ended with exit code {code} on SIGTERM")

    def close(self):
        for p in (self.serve, self.sim):
            if p is not None and p.poll() is None:
                p.terminate()
                p.wait(10)
