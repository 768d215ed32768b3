#!/usr/bin/python3
"""End-to-end run: a real nginx publishes a tricky folder tree, the real window generates the
feeds, and real feed software (xmllint, podcastparser, feedparser, podget) reads them.

Run with Debian's Python (/usr/bin/python3): a python3 found earlier on PATH may lack the
Debian modules feedparser and podcastparser.

    run_e2e.py --driver PATH_TO_e2e_window_driver [--keep]

Exit status 0 when every check passed; the failures are listed otherwise.
"""

import argparse
import email.utils
import io
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse
import xml.etree.ElementTree as ET
from collections import Counter

try:
    import feedparser
    import podcastparser
except ImportError as missing:
    sys.exit(f"e2e: {missing}; install python3-feedparser and python3-podcastparser "
             "and run this with /usr/bin/python3")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_services as services  # noqa: E402

SUITE_DEADLINE_S = 240      # the whole run; CTest's own timeout is above this
NAME_MAX = 255              # ext4's limit for one file name

MIME_BY_EXTENSION = {
    "mp3": "audio/mpeg", "m4a": "audio/x-m4a", "m4b": "audio/x-m4a", "aac": "audio/aac",
    "ogg": "audio/ogg", "oga": "audio/ogg", "opus": "audio/ogg", "flac": "audio/flac",
    "wav": "audio/wav", "mp4": "video/mp4", "m4v": "video/x-m4v", "mov": "video/quicktime",
    "pdf": "application/pdf",
    # other extensions of the fixture, as the shared MIME database types them
    "jpg": "image/jpeg", "txt": "text/plain",
}

TRICKY_FOLDER = "Tricky <names> \"quoted\" 'single' 100% #1 ?q +p ;s"
LONG_A = "Long Series Name That Goes On " * 5 + "é" * 40
LONG_B = "Season One Extended Director's Cut " * 4

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
        "Talk Show/cover.jpg": 900,
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
        # two long names: each fits a file name, but together they are too long for a feed name
        f"{LONG_A}/{LONG_B}/long.mp3": 724,
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
    # Episodes keep the dates of their files: give each a distinct one in the past.
    stamp = 1700000000
    for dirpath, dirnames, names in os.walk(audio):
        for name in sorted(names):
            path = os.path.join(dirpath, name)
            if os.path.exists(path):
                stamp += 3607
                os.utime(path, (stamp, stamp))  # of the target, for a link
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


def fnv1a(data):
    h = 2166136261
    for byte in data:
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return f"{h:08x}"


def expected_feeds(input_dir, output_dir):
    """Breadth-first walk with the folder rule (real, not hidden, owner-writable, not the
    output directory). Returns (folders in scan order, {feed file name: folder}). Within one
    level the order is by name; the tree has no two same-level folders whose names collide."""
    folders = []
    queue = [input_dir]
    out = os.stat(output_dir)
    while queue:
        current = queue.pop(0)
        for name in sorted(os.listdir(current)):
            path = os.path.join(current, name)
            st = os.lstat(path)
            if (stat.S_ISDIR(st.st_mode) and not name.startswith(".")
                    and st.st_mode & stat.S_IWUSR and (st.st_dev, st.st_ino) != (out.st_dev, out.st_ino)):
                folders.append(path)
                queue.append(path)
    plain = {}
    for folder in folders:  # the latest folder of a name keeps it
        rel = os.fsencode(os.path.relpath(folder, input_dir))
        plain[b"-" + rel.replace(b"/", b"-") + b"-"] = folder
    names = {}
    for folder in folders:
        rel = os.fsencode(os.path.relpath(folder, input_dir))
        name = b"-" + rel.replace(b"/", b"-") + b"-"
        if plain[name] != folder or len(name) + 4 > NAME_MAX:
            cut = min(len(name), NAME_MAX - 4 - 9)
            while cut < len(name) and name[cut] & 0xC0 == 0x80:
                cut -= 1
            name = name[:cut] + b"~" + fnv1a(b"/" + rel + b"/").encode()
        names[os.fsdecode(name + b".xml")] = folder
    return folders, names


# --------------------------------------------------------------------------- checks

DATE_RE = re.compile(
    r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([1-9]|[12][0-9]|3[01]) "
    r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]{4}) "
    r"([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9]) ([+-])([0-9]{2})([0-5][0-9])")
WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]


def check_date(where, text, expected):
    """RFC 822 with English names and a numeric zone that is the real offset at that
    instant, for the instant `expected` (seconds since the epoch)."""
    if not DATE_RE.fullmatch(text or ""):
        fail(where, f"date {text!r} is not 'ddd, d MMM yyyy HH:mm:ss +hhmm' in English")
        return
    parsed = email.utils.parsedate_tz(text)
    if parsed is None or parsed[9] is None:
        fail(where, f"date {text!r} is not read as RFC 822 with a zone")
        return
    instant = email.utils.mktime_tz(parsed)
    if instant != int(expected):
        fail(where, f"date {text!r} is {instant}, expected the file date {int(expected)} "
                    f"({email.utils.formatdate(int(expected), localtime=True)})")
    real = time.localtime(instant)  # this process runs in the driver's zone too
    if parsed[9] != real.tm_gmtoff:
        fail(where, f"date {text!r}: zone offset {parsed[9]}s, the machine's is {real.tm_gmtoff}s")
    if text[:3] != WEEKDAYS[real.tm_wday]:
        fail(where, f"date {text!r}: day name does not match the date ({WEEKDAYS[real.tm_wday]})")


# ";" is left out: some clients cut a downloaded file's name at a raw ";".
URL_CHARS = re.compile(r"[A-Za-z0-9\-._~!$&'()*+,=:@/]|%[0-9A-F]{2}")


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
    status, _, body = services.http_get(url)
    return status, body


def check_feed(feed_path, folder, link_prefix, channel_link, feed_url, www):
    """Checks one feed against its folder with xmllint, podcastparser, feedparser (over nginx,
    as it serves the file) and the raw elements. Returns the enclosures to download."""
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
    beyond = sorted({b for b in raw if b >= 0x80})
    if beyond:
        fail(where, f"holds bytes beyond ASCII: {[hex(b) for b in beyond[:8]]}")

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
            path = url_to_path(f"{where} / {episode.get('title')!r}", enc["url"], link_prefix, www)
            size = enc["file_size"] if enc["file_size"] != -1 else 0  # podcastparser: 0 -> -1
            got[(episode.get("title"), path, size, enc["mime_type"])] += 1
        if got != expected:
            missing = expected - got
            extra = got - expected
            fail(where, "podcastparser's episodes differ from the folder's files:\n"
                        f"    expected but not found: {sorted(missing, key=str)}\n"
                        f"    found but not expected: {sorted(extra, key=str)}")

    # 3. feedparser, fed the way nginx serves the file: text/xml without a charset, which by
    # the rules for text/xml means US-ASCII
    status, headers, served = services.http_get(feed_url)
    content_type = {k.lower(): v for k, v in headers.items()}.get("content-type", "")
    if status != 200 or served != raw:
        fail(where, f"nginx answered {status} with {len(served)} bytes, not the feed file")
    if content_type.split(";")[0].strip() != "text/xml":
        fail(where, f"nginx serves it as {content_type!r}, the check expects text/xml")
    parsed = feedparser.parse(served, response_headers={"content-type": content_type})
    if parsed.bozo:
        fail(where, f"feedparser bozo over {content_type!r}: {parsed.get('bozo_exception')!r}")
    if parsed.version != "rss20":
        fail(where, f"feedparser reads version {parsed.version!r}, expected 'rss20'")
    titles = Counter(e.get("title") for e in parsed.entries)
    if titles != Counter(as_xml_text(fname) for fname, _, _ in files):
        fail(where, f"feedparser's entry titles {sorted(titles)} are not the files "
                    f"{sorted(f for f, _, _ in files)}")

    # 4. the raw elements: dates, guid, and the enclosure's url, length and type
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as e:
        fail(where, f"not well-formed XML: {e}")
        return []
    channel = root.find("channel")
    if channel is None:
        fail(where, "no channel element")
        return []
    if channel.findtext("link") != channel_link:
        fail(where, f"channel link {channel.findtext('link')!r}, expected {channel_link!r}")
    newest = max([os.stat(folder).st_mtime] + [os.stat(p).st_mtime for _, p, _ in files])
    check_date(f"{where} lastBuildDate", channel.findtext("lastBuildDate"), newest)
    to_fetch = []
    for item in channel.findall("item"):
        title = item.findtext("title")
        iw = f"{where} / {title!r}"
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
        guid = item.find("guid")
        below = url[len(link_prefix):] if url and url.startswith(link_prefix) else None
        if guid is None or below is None or guid.text != below or guid.get("isPermaLink") != "false":
            fail(iw, f"guid {None if guid is None else (guid.text, guid.attrib)!r} is not the link below the base URL")
        if [child.tag for child in item][-1:] != ["guid"]:
            fail(iw, f"elements {[child.tag for child in item]}: the guid is not last")
        path = url_to_path(iw, url or "", link_prefix, www)
        if path is not None and os.path.isfile(path):
            check_date(f"{iw} pubDate", item.findtext("pubDate"), os.stat(path).st_mtime)
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


# --------------------------------------------------------------------------- main

def make_removable(path):
    for dirpath, dirnames, _ in os.walk(path):
        for d in dirnames:
            p = os.path.join(dirpath, d)
            if not os.path.islink(p):
                os.chmod(p, 0o755)


PUBLISHED_LIST = ".yarrowfeed-feeds"  # the program's own list of the feeds it wrote
OWN_FILES = {PUBLISHED_LIST, "index.html", "feeds.opml"}  # the program's, beside the feeds


def feed_files(output_dir):
    """The feed files of `output_dir`: everything but the program's list, index page and OPML file."""
    return [name for name in os.listdir(output_dir) if name not in OWN_FILES]


def snapshot(output_dir):
    """{feed file: (bytes, modification time in ns)}, the list of feeds included"""
    out = {}
    for name in os.listdir(output_dir):
        path = os.path.join(output_dir, name)
        with open(path, "rb") as f:
            out[name] = (f.read(), os.stat(path).st_mtime_ns)
    return out


def check_box(where, box, count):
    if box.get("title") != "Complete!":
        fail(where, f"title {box.get('title')!r}, expected 'Complete!' (text {box.get('text')!r})")
    m = re.fullmatch(r'"([0-9]+)" XML files generated\.', box.get("text", ""))
    if not m:
        fail(where, f"text {box.get('text')!r} is not '\"N\" XML files generated.'")
    elif int(m.group(1)) != count:
        fail(where, f"N = {m.group(1)}, but {count} distinct feed files were to be written")
    if not box.get("enabledAfter"):
        fail(where, "the controls were not enabled again after the box closed")


class Library:
    """The published tree, its feeds and the readers that keep state from run to run."""

    def __init__(self, args, workdir, www, input_dir, output_dir, link_prefix):
        self.args, self.workdir, self.www = args, workdir, www
        self.input_dir, self.output_dir, self.link_prefix = input_dir, output_dir, link_prefix
        self.settings = os.path.join(workdir, "config.ini")

    def feed_url(self, name):
        rel = os.path.relpath(self.output_dir, self.www)
        return self.link_prefix + urllib.parse.quote(os.fsencode(rel + "/" + name))

    def generate(self, where, base_url):
        folders, names = expected_feeds(self.input_dir, self.output_dir)
        box = services.run_window(self.args.driver, self.workdir, self.input_dir, self.output_dir,
                                  base_url, self.settings)
        check_box(where, box, len(names))
        written = sorted(feed_files(self.output_dir))
        if written != sorted(names):
            fail(f"{where}: feed files", f"\n    expected {sorted(names)}\n    got      {written}")
        return names

    def episodes(self, names):
        return sum(len(listed_files(folder)) for folder in names.values())

    def read_with_newsboat(self, where, names):
        """Every episode exactly once in a subscriber's newsboat, run after run."""
        total, distinct, feeds = services.newsboat_items(self.workdir, [self.feed_url(n) for n in sorted(names)])
        want = self.episodes(names)
        if total != want or distinct != want:
            fail(f"{where}: newsboat", f"holds {total} items ({distinct} distinct), the folders hold {want} files")
        if feeds != sum(1 for folder in names.values() if listed_files(folder)):
            fail(f"{where}: newsboat", f"items from {feeds} feeds")

    def read_with_partytime(self, where, names):
        """The Podcast Index's parser sees every episode, each with its link below the base URL as guid."""
        paths = [os.path.join(self.output_dir, n) for n in sorted(names)]
        seen = services.partytime_items(self.args.node_prefix, paths)
        for path in paths:
            items = seen.get(path)
            want = len(listed_files(names[os.path.basename(path)]))
            if items is None and want == 0:
                continue
            if items is None or len(items) != want or any(guid is None or self.link_prefix + guid != url for guid, url in items):
                fail(f"{where}: podcast-partytime", f"{os.path.basename(path)}: {items!r}, {want} files")


def run_suite(args, workdir, www, nginx):
    input_dir = build_fixture(www)
    output_dir = os.path.join(input_dir, "feeds")  # inside the input tree: must not be scanned
    os.makedirs(output_dir)
    port = nginx.start()
    base_url = f"http://127.0.0.1:{port}"  # no final "/": one is added for the links
    lib = Library(args, workdir, www, input_dir, output_dir, base_url + "/")

    # A base URL that is no address stops the run before anything is written or stored.
    box = services.run_window(args.driver, workdir, input_dir, output_dir, "127.0.0.1 files", lib.settings)
    if box.get("title") == "Complete!" or "full address such as \"http://192.168.1.10/\"" not in box.get("text", ""):
        fail("refused base URL", f"box {box!r}")
    if os.listdir(output_dir) or os.path.exists(lib.settings):
        fail("refused base URL", f"wrote {os.listdir(output_dir)}, settings {os.path.exists(lib.settings)}")

    # Run 1: every feed checked by every reader, every enclosure downloaded.
    names = lib.generate("run 1", base_url)
    with open(lib.settings, encoding="utf-8") as f:
        stored = f.read().splitlines()
    for key, value in (("InputDir", input_dir), ("OutputDir", output_dir)):
        if f"{key}={value}" not in stored:
            fail("settings", f"{key}={value} not stored: {stored}")
    for must in ("-A-B-.xml", "-A-B-~" + fnv1a(b"/A-B/") + ".xml", "-feeds-.xml"):
        if (must in names) != (must != "-feeds-.xml"):
            fail("run 1: names", f"{must!r} {'missing' if must != '-feeds-.xml' else 'present'}")
    if not [n for n in names if n.startswith("-" + LONG_A[:20]) and "~" in n]:
        fail("run 1: names", "no cut name for the long folder")
    to_fetch = []
    for name in sorted(set(os.listdir(output_dir)) & set(names)):
        to_fetch += check_feed(os.path.join(output_dir, name), names[name], lib.link_prefix, base_url,
                               lib.feed_url(name), www)
    check_downloads(to_fetch)
    lib.read_with_newsboat("run 1", names)
    lib.read_with_partytime("run 1", names)
    tricky = "-" + TRICKY_FOLDER + "-.xml"
    if tricky in names:
        problem = services.run_podget(workdir, lib.feed_url(tricky),
                                      [(n, p) for n, p, _ in listed_files(names[tricky])])
        if problem:
            fail("podget", problem)
    first = snapshot(output_dir)
    last_modified = {n: services.http_get(lib.feed_url(n))[1].get("Last-Modified") for n in names}

    # Run 2, nothing changed: no feed file touched, and nginx says "not modified".
    time.sleep(1.1)  # a rewrite would now show in the seconds of Last-Modified too
    lib.generate("run 2", base_url)
    if snapshot(output_dir) != first:
        changed = [n for n, v in snapshot(output_dir).items() if first.get(n) != v]
        fail("run 2", f"feeds changed although the tree did not: {changed}")
    for name in sorted(names):
        status, _, _ = services.http_get(lib.feed_url(name), {"If-Modified-Since": last_modified[name]})
        if status != 304:
            fail("run 2: nginx", f"{name}: If-Modified-Since {last_modified[name]} answered {status}")
    lib.read_with_newsboat("run 2", names)

    # Run 3, one file added: its feed alone changes, and it shows once more episode.
    added = os.path.join(input_dir, "Talk Show", "Ep 2; the sequel.mp3")
    write_random(added, 4321)
    os.utime(added, (1750000000, 1750000000))
    names = lib.generate("run 3", base_url)
    third = snapshot(output_dir)
    changed = sorted(n for n in third if first.get(n) != third[n])
    # The index page counts the episodes, so it changes with the feed; the OPML file does not.
    if changed != ["-Talk Show-.xml", "index.html"]:
        fail("run 3", f"changed files {changed}, expected only '-Talk Show-.xml' and 'index.html'")
    check_downloads(check_feed(os.path.join(output_dir, "-Talk Show-.xml"), names["-Talk Show-.xml"],
                               lib.link_prefix, base_url, lib.feed_url("-Talk Show-.xml"), www))
    lib.read_with_newsboat("run 3", names)
    lib.read_with_partytime("run 3", names)
    return len(names), len(to_fetch)


def main():
    # Names that are not UTF-8 must not stop the report.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--node-prefix", required=True, help="where podcast-partytime is installed")
    parser.add_argument("--keep", action="store_true", help="keep the temporary tree")
    args = parser.parse_args()

    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(
        TimeoutError(f"suite exceeded {SUITE_DEADLINE_S}s")))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    signal.alarm(SUITE_DEADLINE_S)

    missing = [tool for tool in (services.NGINX, "xmllint", "podget", "newsboat", "node")
               if not shutil.which(tool)]
    if missing:
        sys.exit(f"e2e: missing {', '.join(missing)} (Debian: nginx libxml2-utils podget newsboat)")

    os.environ["TZ"] = services.RUN_TZ  # to read the feeds' dates in the zone they were written in
    time.tzset()
    os.umask(0o022)
    workdir = tempfile.mkdtemp(prefix="yarrowfeed-e2e-")
    os.chmod(workdir, 0o755)  # nginx workers run as nobody and must traverse it
    www = os.path.join(workdir, "www")
    os.makedirs(www)
    nginx = services.Nginx(workdir, www)
    started = time.monotonic()
    try:
        feeds, fetched = run_suite(args, workdir, www, nginx)
        print(f"e2e: {feeds} feeds, {fetched} enclosures fetched, three runs, "
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
