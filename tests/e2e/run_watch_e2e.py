#!/usr/bin/python3
"""End-to-end watch: a real nginx publishes a folder tree, `yarrowfeed --watch` keeps its
feeds, a file is added while it watches, and the refreshed feed fetched through nginx lists
it, well-formed, with an enclosure that downloads the file's bytes.

    run_watch_e2e.py --program PATH_TO_yarrowfeed

Exit status 0 when every check passed.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    import feedparser
except ImportError as missing:
    sys.exit(f"watch e2e: {missing}; install python3-feedparser and run this with /usr/bin/python3")

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
SETTLE_S = 1
WITHIN_S = SETTLE_S + 3


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(url):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(url, timeout=10) as response:
        return response.read()


def wait_for(what, check, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = check()
            if value:
                return value
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {timeout}s: {what}")
        time.sleep(0.1)


def start_nginx(workdir, root):
    ng = os.path.join(workdir, "ng")
    os.makedirs(os.path.join(ng, "logs"))
    os.makedirs(os.path.join(ng, "tmp"))
    port = free_port()
    with open(os.path.join(ng, "nginx.conf"), "w") as f:
        f.write(f"""worker_processes 1; pid ng/nginx.pid; error_log ng/logs/error.log;
events {{ worker_connections 64; }}
http {{ include /etc/nginx/mime.types; access_log ng/logs/access.log;
  client_body_temp_path ng/tmp/body; proxy_temp_path ng/tmp/proxy;
  fastcgi_temp_path ng/tmp/fcgi; uwsgi_temp_path ng/tmp/uwsgi; scgi_temp_path ng/tmp/scgi;
  server {{ listen 127.0.0.1:{port}; root {root}; }} }}
""")
    proc = subprocess.Popen([NGINX, "-p", workdir + "/", "-c", "ng/nginx.conf", "-e", "ng/logs/error.log",
                             "-g", "daemon off;"], stdin=subprocess.DEVNULL)
    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    wait_for("nginx listens", listening, 10)
    return proc, port


def stop(proc, sig):
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    os.umask(0o022)
    workdir = tempfile.mkdtemp(prefix="yarrowfeed-watch-e2e-")
    os.chmod(workdir, 0o755)  # nginx workers run as nobody
    www = os.path.join(workdir, "www")
    audio = os.path.join(www, "Audio")
    feeds = os.path.join(www, "feeds")
    os.makedirs(os.path.join(audio, "Show"))
    os.makedirs(feeds)
    with open(os.path.join(audio, "Show", "ep 1.mp3"), "wb") as f:
        f.write(os.urandom(1000))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    nginx = watch = None
    try:
        nginx, port = start_nginx(workdir, www)
        base = f"http://127.0.0.1:{port}/"
        feed_url = base + "feeds/-Show-.xml"
        watch = subprocess.Popen([args.program, "--watch", "--settle", str(SETTLE_S), "--input", audio,
                                  "--output", feeds, "--base-url", base,
                                  "--settings", os.path.join(workdir, "config.ini")],
                                 env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = feedparser.parse(wait_for("the first feed is served", lambda: fetch(feed_url), WITHIN_S))
        assert [e.title for e in first.entries] == ["ep 1.mp3"], first.entries

        content = os.urandom(4321)
        with open(os.path.join(audio, "Show", "ep 2.mp3"), "wb") as f:
            f.write(content)

        def refreshed():
            parsed = feedparser.parse(fetch(feed_url))
            return parsed if len(parsed.entries) == 2 else None
        parsed = wait_for("the served feed lists the new file", refreshed, WITHIN_S)
        assert parsed.bozo == 0, parsed.get("bozo_exception")
        added = [e for e in parsed.entries if e.title == "ep 2.mp3"]
        assert added, [e.title for e in parsed.entries]
        enclosure = added[0].enclosures[0]
        assert int(enclosure.length) == len(content), enclosure
        assert fetch(enclosure.href) == content, "the enclosure does not download the new file"

        status = stop(watch, signal.SIGTERM)
        out, err = watch.communicate()
        assert status == 143, f"status {status}; stderr {err!r}"
        lines = out.decode().splitlines()
        # Each run's count, then where its index page is.
        counts, pages = lines[0::2], lines[1::2]
        assert len(lines) >= 4 and len(counts) == len(pages), lines
        assert all(l.endswith("XML files generated.") for l in counts), lines
        assert all(" Index page: " in l for l in pages), lines
        print(f"watch e2e: refreshed feed served by nginx after {len(counts)} runs; all checks passed")
        return 0
    except AssertionError as failure:
        print(f"watch e2e failed: {failure}")
        return 1
    finally:
        if watch is not None:
            stop(watch, signal.SIGTERM)
        if nginx is not None:
            stop(nginx, signal.SIGQUIT)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
