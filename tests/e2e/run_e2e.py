#!/usr/bin/python3
"""End-to-end run: a real nginx publishes a tricky folder tree, the real window generates the
feeds, and real feed software (xmllint, podcastparser, feedparser, podget) reads them.

Run with Debian's Python (/usr/bin/python3): a python3 found earlier on PATH may lack the
Debian modules feedparser and podcastparser.

    run_e2e.py --driver PATH_TO_e2e_window_driver [--keep]

Exit status 0 when every check passed; the failures are listed otherwise.
"""

import argparse
import ctypes
import email.utils
import hashlib
import io
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET
from collections import Counter

try:
    import feedparser
    import podcastparser
except ImportError as missing:
    sys.exit(f"e2e: {missing}; install python3-feedparser and python3-podcastparser "
             "and run this with /usr/bin/python3")

# The driver runs in a zone five hours and 45 minutes east of UTC (a POSIX rule, so no time
# zone database is needed) and with a German time locale, so a fixed zone text or a
# localized day or month name cannot pass by luck.
RUN_TZ = "YFT-5:45"
RUN_LC_TIME = "de_DE.UTF-8"

# nginx lives in /usr/sbin, which is not on every user's PATH.
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

SUITE_DEADLINE_S = 200      # the whole run; CTest's own timeout is above this
DRIVER_TIMEOUT_S = 90
PODGET_TIMEOUT_S = 90
HTTP_TIMEOUT_S = 10

MIME_BY_EXTENSION = {
    "mp3": "audio/mpeg", "m4a": "audio/x-m4a", "m4b": "audio/x-m4a", "aac": "audio/aac",
    "ogg": "audio/ogg", "oga": "audio/ogg", "opus": "audio/ogg", "flac": "audio/flac",
    "wav": "audio/wav", "mp4": "video/mp4", "m4v": "video/x-m4v", "mov": "video/quicktime",
    "pdf": "application/pdf",
}

TRICKY_FOLDER = "Tricky <names> \"quoted\" 'single' 100% #1 ?q +p ;s"

failures = []


def fail(where, message):
    failures.append(f"{where}: {message}")


# --------------------------------------------------------------------------- fixture

def write_random(path, size):
    # Random content: a download of the wrong file cannot match by accident.
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def build_fixture(www):
    """Makes the published tree. Returns the input directory."""
    audio = os.path.join(www, "Audio")
    files = {
        # a file of the input directory itself: the input directory gets no feed
        "root level.mp3": 1000,
        "Talk Show/Ep 1.mp3": 2048,
        "Talk Show/big random.mp3": 3 * 1024 * 1024 + 17,
        f"{TRICKY_FOLDER}/Rock & Roll.mp3": 1500,
        f"{TRICKY_FOLDER}/a<b>c.m4a": 1501,
        f"{TRICKY_FOLDER}/say \"hi\".m4b": 1502,
        f"{TRICKY_FOLDER}/it's here.aac": 1503,
        f"{TRICKY_FOLDER}/100% pure.ogg": 1504,
        f"{TRICKY_FOLDER}/#1 hit.opus": 1505,
        f"{TRICKY_FOLDER}/what?.flac": 1506,
        f"{TRICKY_FOLDER}/a+b;c.wav": 1507,
        f"{TRICKY_FOLDER}/%20literal.mp4": 1508,
        f"{TRICKY_FOLDER}/café über 日本語.m4v": 1509,
        f"{TRICKY_FOLDER}/emoji 🎧.mov": 1510,
        f"{TRICKY_FOLDER}/notes.pdf": 1511,
        f"{TRICKY_FOLDER}/readme.txt": 1512,
        f"{TRICKY_FOLDER}/no extension": 1513,
        f"{TRICKY_FOLDER}/LOUD.MP3": 1514,
        f"{TRICKY_FOLDER}/zero.mp3": 0,
        f"{TRICKY_FOLDER}/.hidden.mp3": 1515,
        "A & B/x & y.mp3": 700,
        "A-B/from dash.mp3": 701,
        "A/in a.m4a": 702,
        "A/B/from slash.mp3": 703,
        "Ünïcödé 日本語/straße.mp3": 704,
        # names that are not UTF-8, or hold a control character, still link to their file
        os.fsdecode(b"Odd bytes/bad \xff name.mp3"): 720,
        os.fsdecode(b"Odd bytes/ctl \x01 name.mp3"): 721,
        os.fsdecode(b"Odd \xe9 folder/latin1.mp3"): 722,
        "🎧 Emoji/ep.ogg": 705,
        "Level 1/one.mp3": 706,
        "Level 1/Level 2/two.flac": 707,
        "Level 1/Level 2/Level 3 #deep/three.opus": 708,
        # a hidden, a read-only and (below) a linked folder: no feed for them or anything below
        ".Hidden/secret.mp3": 709,
        ".Hidden/Sub/deep.mp3": 710,
        "ReadOnly/locked.mp3": 711,
        "ReadOnly/Inner/inner.mp3": 712,
        "../outside/o.mp3": 713,
        "../outside/Sub/os.mp3": 714,
    }
    for rel, size in files.items():
        path = os.path.normpath(os.path.join(audio, rel))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_random(path, size)
    os.makedirs(os.path.join(audio, "Empty"))
    links = os.path.join(audio, "Links")
    os.makedirs(links)
    os.symlink("../Talk Show/Ep 1.mp3", os.path.join(links, "to a file.mp3"))
    os.symlink("nowhere.mp3", os.path.join(links, "broken.mp3"))
    os.symlink("../outside", os.path.join(audio, "Linked"))
    # The published parent's path again below the input directory: a link must swap only
    # the leading occurrence of it for the base URL.
    again = os.path.join(audio, www.lstrip("/"), "Again")
    os.makedirs(again)
    write_random(os.path.join(again, "again.mp3"), 723)
    os.chmod(os.path.join(audio, "ReadOnly"), 0o555)
    return audio


def listed_files(folder):
    """The files a feed of `folder` must hold: regular files and links to them, not hidden."""
    out = []
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if name.startswith(".") or not os.path.isfile(path):
            continue
        out.append((name, path, os.stat(path).st_size))
    return out


def expected_feeds(input_dir):
    """Breadth-first walk with the folder rule (real, not hidden, owner-writable).
    Returns (folders in scan order, {feed file name: folder that wins}). Within one level the
    order is by name; the tree has no two same-level folders whose feed names collide."""
    folders = []
    queue = [input_dir]
    while queue:
        current = queue.pop(0)
        for name in sorted(os.listdir(current)):
            path = os.path.join(current, name)
            st = os.lstat(path)
            if (stat.S_ISDIR(st.st_mode) and not name.startswith(".")
                    and st.st_mode & stat.S_IWUSR):
                folders.append(path)
                queue.append(path)
    winners = {}
    for folder in folders:  # later folders replace earlier ones of the same name
        rel = os.path.relpath(folder, input_dir)
        winners["-" + rel.replace("/", "-") + "-.xml"] = folder
    return folders, winners


# --------------------------------------------------------------------------- processes

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


def run_window(driver, workdir, input_dir, output_dir, base_url):
    env = child_env(workdir)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env["TZ"] = RUN_TZ
    env.pop("LC_ALL", None)
    env["LANG"] = "C.UTF-8"
    env["LC_TIME"] = RUN_LC_TIME
    cmd = [driver, "--input", input_dir, "--output", output_dir, "--base-url", base_url,
           "--settings", os.path.join(workdir, "config.ini")]
    proc = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=DRIVER_TIMEOUT_S, preexec_fn=die_with_parent)
    sys.stderr.write(proc.stderr.decode(errors="replace"))
    if proc.returncode != 0:
        raise RuntimeError(f"window driver failed with status {proc.returncode}: "
                           + proc.stdout.decode(errors="replace"))
    return json.loads(proc.stdout.decode().strip().splitlines()[-1])


# --------------------------------------------------------------------------- checks

DATE_RE = re.compile(
    r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([1-9]|[12][0-9]|3[01]) "
    r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]{4}) "
    r"([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9]) ([+-])([0-9]{2})([0-5][0-9])")
WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]


def check_date(where, text, run_start, run_end):
    """RFC 822 with English names and a numeric zone that is the run's real offset."""
    if not DATE_RE.fullmatch(text or ""):
        fail(where, f"date {text!r} is not 'ddd, d MMM yyyy HH:mm:ss +hhmm' in English")
        return
    parsed = email.utils.parsedate_tz(text)
    if parsed is None or parsed[9] is None:
        fail(where, f"date {text!r} is not read as RFC 822 with a zone")
        return
    instant = email.utils.mktime_tz(parsed)
    if not run_start - 2 <= instant <= run_end + 2:
        fail(where, f"date {text!r} lies outside the run ({run_start:.0f}..{run_end:.0f})")
    real = time.localtime(instant)  # this process runs in the driver's zone too
    if parsed[9] != real.tm_gmtoff:
        fail(where, f"date {text!r}: zone offset {parsed[9]}s, the machine's is {real.tm_gmtoff}s")
    if text[:3] != WEEKDAYS[real.tm_wday]:
        fail(where, f"date {text!r}: day name does not match the date ({WEEKDAYS[real.tm_wday]})")


URL_CHARS = re.compile(r"[A-Za-z0-9\-._~!$&'()*+,;=:@/]|%[0-9A-F]{2}")


def as_xml_text(name):
    """A file name as a feed can carry it: bytes that are not UTF-8 and characters XML
    forbids read as U+FFFD."""
    text = os.fsencode(name).decode("utf-8", errors="replace")
    return re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]", "\ufffd", text)


def url_to_path(where, url, base_url, www):
    """The served file a link names, or None (with a failure) when the link is not clean."""
    if not url.startswith(base_url):
        fail(where, f"link {url!r} does not start with the base URL {base_url!r}")
        return None
    rest = url[len(base_url):]
    leftover = URL_CHARS.sub("", rest)
    if leftover:
        fail(where, f"link {url!r} holds characters that are not allowed raw in a URI "
                    f"path: {leftover!r}")
        return None
    parts = urllib.parse.urlsplit(url)
    if parts.query or parts.fragment or "?" in url or "#" in url:
        fail(where, f"link {url!r} has a query or fragment, so it names another resource")
        return None
    # Bytes, not text: a name that is not UTF-8 travels as its own bytes, percent-encoded.
    return os.fsdecode(os.fsencode(www) + b"/" + urllib.parse.unquote_to_bytes(rest))


def fetch(url):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(url, timeout=HTTP_TIMEOUT_S) as response:
        return response.status, response.read()


def check_feed(feed_path, folder, base_url, feed_url, www, run_start, run_end):
    name = os.path.basename(feed_path)
    where = name
    expected_title = as_xml_text(name[:-len(".xml")])
    files = listed_files(folder)
    expected = Counter()
    for fname, fpath, size in files:
        ext = fname.rsplit(".", 1)[1].lower() if "." in fname else ""
        expected[(as_xml_text(fname), fpath, size,
                  MIME_BY_EXTENSION.get(ext, "audio/mpeg"))] += 1

    # 1. the strict XML check
    lint = subprocess.run(["xmllint", "--noout", feed_path], capture_output=True, timeout=30)
    if lint.returncode != 0:
        fail(where, "xmllint rejects it:\n" + lint.stderr.decode(errors="replace").strip())

    with open(feed_path, "rb") as f:
        raw = f.read()

    # 2. gPodder's strict parser: the episodes are the folder's files
    try:
        podcast = podcastparser.parse(feed_url, io.BytesIO(raw))
    except Exception as e:  # noqa: BLE001 -- any failure to parse is the finding
        fail(where, f"podcastparser rejects it: {e}")
        podcast = None
    if podcast is not None:
        if podcast.get("title") != expected_title:
            fail(where, f"podcastparser reads the title {podcast.get('title')!r}, "
                        f"expected {expected_title!r}")
        got = Counter()
        for episode in podcast["episodes"]:
            enclosures = episode.get("enclosures", [])
            if len(enclosures) != 1:
                fail(where, f"episode {episode.get('title')!r} has {len(enclosures)} enclosures")
                continue
            enc = enclosures[0]
            path = url_to_path(f"{where} / {episode.get('title')!r}", enc["url"], base_url, www)
            size = enc["file_size"] if enc["file_size"] != -1 else 0  # podcastparser: 0 -> -1
            got[(episode.get("title"), path, size, enc["mime_type"])] += 1
        if got != expected:
            missing = expected - got
            extra = got - expected
            fail(where, "podcastparser's episodes differ from the folder's files:\n"
                        f"    expected but not found: {sorted(missing, key=str)}\n"
                        f"    found but not expected: {sorted(extra, key=str)}")

    # 3. feedparser: well-formed RSS 2.0 with every file as an entry
    parsed = feedparser.parse(raw)
    if parsed.bozo:
        fail(where, f"feedparser bozo: {parsed.get('bozo_exception')!r}")
    if parsed.version != "rss20":
        fail(where, f"feedparser reads version {parsed.version!r}, expected 'rss20'")
    titles = Counter(e.get("title") for e in parsed.entries)
    if titles != Counter(as_xml_text(fname) for fname, _, _ in files):
        fail(where, f"feedparser's entry titles {sorted(titles)} are not the files "
                    f"{sorted(f for f, _, _ in files)}")

    # 4. the raw elements: dates, and the enclosure's url, length and type against the files
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as e:
        fail(where, f"not well-formed XML: {e}")
        return []
    channel = root.find("channel")
    if channel is None:
        fail(where, "no channel element")
        return []
    check_date(f"{where} lastBuildDate", channel.findtext("lastBuildDate"), run_start, run_end)
    to_fetch = []
    for item in channel.findall("item"):
        title = item.findtext("title")
        iw = f"{where} / {title!r}"
        check_date(f"{iw} pubDate", item.findtext("pubDate"), run_start, run_end)
        enclosure = item.find("enclosure")
        if enclosure is None:
            fail(iw, "no enclosure")
            continue
        url = enclosure.get("url")
        length = enclosure.get("length")
        if enclosure.get("type") is None:
            fail(iw, "enclosure has no type")
        if item.findtext("link") != url:
            fail(iw, f"link {item.findtext('link')!r} differs from enclosure url {url!r}")
        path = url_to_path(iw, url or "", base_url, www)
        if length is None or not length.isdigit():
            fail(iw, f"enclosure length {length!r} is not a byte count")
            length = None
        elif path is not None and os.path.isfile(path) and int(length) != os.path.getsize(path):
            fail(iw, f"enclosure length {length} but the file has {os.path.getsize(path)} bytes")
        to_fetch.append((iw, url, path, length))
    return to_fetch


def check_downloads(to_fetch):
    """Every enclosure answers 200 from nginx with exactly the file's bytes."""
    for where, url, path, length in to_fetch:
        try:
            status, body = fetch(url)
        except Exception as e:  # noqa: BLE001
            fail(where, f"GET {url} failed: {e}")
            continue
        if status != 200:
            fail(where, f"GET {url} answered {status}")
            continue
        if path is None or not os.path.isfile(path):
            fail(where, f"GET {url} answered, but the link names no file of the tree")
            continue
        with open(path, "rb") as f:
            if body != f.read():
                fail(where, f"GET {url} gave {len(body)} bytes that are not the file's")
        if length is not None and int(length) != len(body):
            fail(where, f"GET {url} gave {len(body)} bytes, the enclosure says {length}")


def run_podget(workdir, feed_url, folder):
    """podget downloads every enclosure of the feed, byte for byte."""
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
    for fname, fpath, _ in listed_files(folder):
        with open(fpath, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        want[digest] += 1
        names[digest] = fname
    if got != want:
        missing = [names[d] for d in (want - got)]
        extra = len(list((got - want).elements()))
        fail("podget", f"downloads differ from the feed's files: missing {sorted(missing)}, "
                       f"{extra} unexpected file(s); podget said:\n"
                       + proc.stdout.decode(errors="replace")[-3000:]
                       + proc.stderr.decode(errors="replace")[-2000:])


# --------------------------------------------------------------------------- main

def make_removable(path):
    for dirpath, dirnames, _ in os.walk(path):
        for d in dirnames:
            p = os.path.join(dirpath, d)
            if not os.path.islink(p):
                os.chmod(p, 0o755)


def main():
    # Names that are not UTF-8 must not stop the report.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the temporary tree")
    args = parser.parse_args()

    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(
        TimeoutError(f"suite exceeded {SUITE_DEADLINE_S}s")))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    signal.alarm(SUITE_DEADLINE_S)

    missing = [tool for tool in (NGINX, "xmllint", "podget") if not shutil.which(tool)]
    if missing:
        sys.exit(f"e2e: missing {', '.join(missing)} (Debian: nginx libxml2-utils podget)")

    os.environ["TZ"] = RUN_TZ  # to read the feeds' dates in the zone they were written in
    time.tzset()
    os.umask(0o022)
    workdir = tempfile.mkdtemp(prefix="yarrowfeed-e2e-")
    os.chmod(workdir, 0o755)  # nginx workers run as nobody and must traverse it
    www = os.path.join(workdir, "www")
    output_dir = os.path.join(www, "feeds")
    os.makedirs(output_dir)
    nginx = Nginx(workdir, www)
    started = time.monotonic()
    try:
        input_dir = build_fixture(www)
        folders, winners = expected_feeds(input_dir)
        port = nginx.start()
        base_url = f"http://127.0.0.1:{port}/"

        run_start = time.time()
        box = run_window(args.driver, workdir, input_dir, output_dir, base_url)
        run_end = time.time()

        # The count: every folder written, the replaced one of the collision pair included.
        if box.get("title") != "Complete!":
            fail("message", f"title {box.get('title')!r}, expected 'Complete!' "
                            f"(text {box.get('text')!r})")
        m = re.fullmatch(r'"([0-9]+)" XML files generated\.', box.get("text", ""))
        if not m:
            fail("message", f"text {box.get('text')!r} is not '\"N\" XML files generated.'")
        elif int(m.group(1)) != len(folders):
            fail("message", f"N = {m.group(1)}, but {len(folders)} folders were to be written")
        if not box.get("enabledAfter"):
            fail("window", "the controls were not enabled again after the box closed")
        with open(os.path.join(workdir, "config.ini"), encoding="utf-8") as f:
            stored = f.read()
        for key, value in (("InputDir", input_dir), ("OutputDir", output_dir)):
            if f"{key}={value}" not in stored.splitlines():
                fail("settings", f"{key}={value} not stored:\n{stored}")
        if len(folders) != len(winners) + 1:
            fail("fixture", "the collision pair A-B / A/B is not in the tree")

        written = sorted(os.listdir(output_dir))
        if written != sorted(winners):
            fail("feed files", f"\n    expected {sorted(winners)}\n    got      {written}")

        to_fetch = []
        for name in sorted(set(written) & set(winners)):
            feed_url = base_url + "feeds/" + urllib.parse.quote(os.fsencode(name))
            to_fetch += check_feed(os.path.join(output_dir, name), winners[name], base_url,
                                   feed_url, www, run_start, run_end)
        check_downloads(to_fetch)

        tricky = "-" + TRICKY_FOLDER + "-.xml"
        if tricky in written:
            run_podget(workdir, base_url + "feeds/" + urllib.parse.quote(tricky),
                       winners[tricky])
        else:
            fail("podget", f"no feed {tricky!r} to read")
        print(f"e2e: {len(written)} feeds, {len(to_fetch)} enclosures fetched, "
              f"{time.monotonic() - started:.1f}s")
    except Exception as e:  # noqa: BLE001
        fail("suite", "".join(traceback.format_exception(e)).strip())
    finally:
        signal.alarm(0)
        nginx.stop()
        if args.keep:
            print(f"kept {workdir}")
        else:
            make_removable(workdir)
            shutil.rmtree(workdir, ignore_errors=True)

    if failures:
        print(f"{len(failures)} failure(s):")
        for f in failures:
            print(" - " + f)
        return 1
    print("e2e: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
