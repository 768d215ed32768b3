"""The programs the end-to-end run starts: the window driver, nginx, and the feed software
that reads the feeds as a subscriber would (podget, newsboat, podcast-partytime)."""

import ctypes
import hashlib
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections import Counter

# nginx lives in /usr/sbin, which is not on every user's PATH.
NGINX = "/usr/sbin/nginx"
DRIVER_TIMEOUT_S = 90
PODGET_TIMEOUT_S = 90
READER_TIMEOUT_S = 60
HTTP_TIMEOUT_S = 10

# The driver runs in a zone five hours and 45 minutes east of UTC (a POSIX rule, so no time
# zone database is needed) and with a German time locale, so a fixed zone text or a
# localized day or month name cannot pass by luck.
RUN_TZ = "YFT-5:45"
RUN_LC_TIME = "de_DE.UTF-8"


def die_with_parent():
    # If this script is killed outright (a CTest timeout), the child is told to stop too.
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Nginx:
    def __init__(self, workdir, root):
        self.workdir = workdir
        self.root = root
        self.proc = None
        self.port = None

    def start(self):
        ng = os.path.join(self.workdir, "ng")
        for sub in ("logs", "tmp"):
            os.makedirs(os.path.join(ng, sub), exist_ok=True)
        for _ in range(5):
            port = free_port()
            conf = os.path.join(ng, "nginx.conf")
            with open(conf, "w") as f:
                f.write(f"""worker_processes 1; pid ng/nginx.pid; error_log ng/logs/error.log;
events {{ worker_connections 64; }}
http {{ include /etc/nginx/mime.types; access_log ng/logs/access.log;
  client_body_temp_path ng/tmp/body; proxy_temp_path ng/tmp/proxy;
  fastcgi_temp_path ng/tmp/fcgi; uwsgi_temp_path ng/tmp/uwsgi; scgi_temp_path ng/tmp/scgi;
  server {{ listen 127.0.0.1:{port}; root {self.root}; }} }}
""")
            self.proc = subprocess.Popen(
                [NGINX, "-p", self.workdir + "/", "-c", "ng/nginx.conf",
                 "-e", "ng/logs/error.log", "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                if port_open(port):
                    self.port = port
                    return port
                time.sleep(0.05)
            self.stop()  # the port was taken meanwhile, or nginx did not come up: try again
        with open(os.path.join(ng, "logs", "error.log"), errors="replace") as f:
            raise RuntimeError("nginx did not start:\n" + f.read())

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None


def child_env(workdir):
    env = dict(os.environ)
    for key in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                "ALL_PROXY"):
        env.pop(key, None)
    env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1"
    runtime_dir = os.path.join(workdir, "xdg-runtime")
    os.makedirs(runtime_dir, mode=0o700, exist_ok=True)
    env["XDG_RUNTIME_DIR"] = runtime_dir
    return env


def run_window(driver, workdir, input_dir, output_dir, base_url, settings):
    env = child_env(workdir)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env["TZ"] = RUN_TZ
    env.pop("LC_ALL", None)
    env["LANG"] = "C.UTF-8"
    env["LC_TIME"] = RUN_LC_TIME
    cmd = [driver, "--input", input_dir, "--output", output_dir, "--base-url", base_url,
           "--settings", settings]
    proc = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=DRIVER_TIMEOUT_S, preexec_fn=die_with_parent)
    sys.stderr.write(proc.stderr.decode(errors="replace"))
    if proc.returncode != 0:
        raise RuntimeError(f"window driver failed with status {proc.returncode}: "
                           + proc.stdout.decode(errors="replace"))
    return json.loads(proc.stdout.decode().strip().splitlines()[-1])


def run_podget(workdir, feed_url, files):
    """podget downloads every enclosure of the feed, byte for byte. `files`: (name, path) of
    each file the feed lists. Returns what went wrong, or None."""
    pg = os.path.join(workdir, "pg")
    conf = os.path.join(pg, "conf")
    lib = os.path.join(pg, "lib")
    os.makedirs(conf)
    os.makedirs(lib)
    with open(os.path.join(conf, "serverlist"), "w") as f:
        f.write(f"{feed_url} E2E Tricky\n")
    env = child_env(workdir)
    env["HOME"] = pg
    base = ["podget", "-d", conf]
    subprocess.run(base + ["--create-config", "podgetrc"], env=env, capture_output=True,
                   stdin=subprocess.DEVNULL, timeout=PODGET_TIMEOUT_S, preexec_fn=die_with_parent)
    proc = subprocess.run(base + ["-l", lib, "--dir_session", os.path.join(pg, "session"),
                                  "-n", "-s"],
                          env=env, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=PODGET_TIMEOUT_S, preexec_fn=die_with_parent)
    got = Counter()
    for dirpath, dirnames, names in os.walk(lib):
        dirnames[:] = [d for d in dirnames if not d.startswith(".")]  # podget's own logs
        for n in names:
            with open(os.path.join(dirpath, n), "rb") as f:
                got[hashlib.sha256(f.read()).hexdigest()] += 1
    want = Counter()
    names = {}
    for fname, fpath in files:
        with open(fpath, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        want[digest] += 1
        names[digest] = fname
    if got != want:
        missing = [names[d] for d in (want - got)]
        extra = len(list((got - want).elements()))
        return (f"downloads differ from the feed's files: missing {sorted(missing)}, "
                f"{extra} unexpected file(s); podget said:\n"
                + proc.stdout.decode(errors="replace")[-3000:]
                + proc.stderr.decode(errors="replace")[-2000:])
    return None


def http_get(url, headers=None):
    """(status, headers, body) of a GET without any proxy; 304 and other answers included."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with opener.open(request, timeout=HTTP_TIMEOUT_S) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as answer:
        return answer.code, dict(answer.headers), answer.read()


def newsboat_items(workdir, feed_urls):
    """Reloads every feed with newsboat into one cache kept across calls, as a subscriber's
    would be; returns the number of items it holds and how many distinct (feed, link) pairs."""
    home = os.path.join(workdir, "newsboat")
    os.makedirs(home, exist_ok=True)
    urls = os.path.join(home, "urls")
    with open(urls, "w") as f:
        f.writelines(url + "\n" for url in feed_urls)
    cache = os.path.join(home, "cache.db")
    env = child_env(workdir)
    env["HOME"] = home
    proc = subprocess.run(["newsboat", "-u", urls, "-c", cache, "-x", "reload"], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=READER_TIMEOUT_S,
                          preexec_fn=die_with_parent)
    if proc.returncode != 0:
        raise RuntimeError("newsboat failed: " + proc.stderr.decode(errors="replace")[-2000:])
    with sqlite3.connect(cache) as db:
        total = db.execute("select count(*) from rss_item").fetchone()[0]
        distinct = db.execute("select count(distinct feedurl || ' ' || url) from rss_item").fetchone()[0]
        feeds = db.execute("select count(distinct feedurl) from rss_item").fetchone()[0]
    return total, distinct, feeds


PARTYTIME_SCRIPT = r"""
const {parseFeed} = require(process.argv[1] + '/node_modules/podcast-partytime');
const texts = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const out = texts.map(text => {
  const feed = parseFeed(text);
  return feed ? feed.items.map(i => [i.guid, i.enclosure ? i.enclosure.url : null]) : null;
});
console.log('PARTYTIME ' + JSON.stringify(out));
"""


def partytime_items(node_prefix, feed_paths):
    """{feed path: [(guid, enclosure url)] or None} as the Podcast Index's parser reads them."""
    # The texts go in on standard input: node cannot open paths that are not UTF-8.
    texts = []
    for path in feed_paths:
        with open(path, "rb") as f:
            texts.append(f.read().decode("latin-1"))
    proc = subprocess.run(["node", "-e", PARTYTIME_SCRIPT, os.path.abspath(node_prefix)], input=json.dumps(texts).encode(),
                          capture_output=True, timeout=READER_TIMEOUT_S, preexec_fn=die_with_parent)
    if proc.returncode != 0:
        raise RuntimeError("podcast-partytime failed: " + proc.stderr.decode(errors="replace")[-2000:])
    # It logs its warnings as JSON lines on standard output: ours is the marked line.
    for line in proc.stdout.decode(errors="replace").splitlines():
        if line.startswith("PARTYTIME "):
            return dict(zip(feed_paths, json.loads(line[len("PARTYTIME "):])))
    raise RuntimeError("podcast-partytime printed no result")
