#!/usr/bin/python3
"""End-to-end: the index page and OPML file a run leaves beside its feeds, served by a real
nginx and opened in headless Chromium at phone width. Every feed must be listed by its
title and fetchable through its link, names must stay text, the OPML file must subscribe a
podcast parser to every feed, an unchanged run must leave both files alone, and an output
directory outside the served tree must get no OPML file.

    run_index_e2e.py --program PATH_TO_yarrowfeed [--screenshot PATH]

Exit status 0 when every check passed; the failures are listed otherwise.
"""

import argparse
import html.parser
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_services as services  # noqa: E402

import podcastparser  # noqa: E402  (Debian's python3-podcastparser)

failures = []

# Folder name -> episodes; the names are the ones that break pages and addresses.
LIBRARY = {
    "Book One": ["Chapter 1.mp3", "Chapter 2.mp3", "Chapter 10.mp3"],
    "<img src=x onerror=alert(1)>": ["x.mp3"],
    'A & B "quoted"': ["a.mp3"],
    "Guns N' Roses": ["Appetite.mp3"],
    "Caf\u00e9 Cr\u00e8me": ["espresso.ogg"],
    "Empty Show": [],
}
# Everything a page of ours may hold; an element from a name would be something else.
PAGE_ELEMENTS = {"html", "head", "meta", "title", "style", "body", "h1", "p", "ul", "li", "a", "span", "script",
                 "button", "input"}


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def generate(program, workdir, output, base_url):
    proc = subprocess.run(
        [program, "--generate", "--input", os.path.join(workdir, "www", "Audio"), "--output", output,
         "--settings", os.path.join(workdir, "config.ini"), "--base-url", base_url],
        env=services.child_env(workdir), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    check(proc.returncode == 0, f"run into {output} exited {proc.returncode}: {proc.stderr.decode(errors='replace')}")
    return proc.stdout.decode(errors="replace").splitlines()


def chromium(workdir, *args):
    profile = tempfile.mkdtemp(prefix="profile-", dir=workdir)
    proc = subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run", f"--user-data-dir={profile}", *args],
        env=services.child_env(workdir), stdin=subprocess.DEVNULL, capture_output=True, timeout=40)
    check(proc.returncode == 0, f"chromium {args[-1]} exited {proc.returncode}")
    return proc.stdout.decode(errors="replace")


class Dom(html.parser.HTMLParser):
    """The elements of a dumped DOM, and each feed entry's link and title."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = set()
        self.entries = []  # (href, title, empty)
        self.buttons = []
        self._in_item = None
        self._in_link = False
        self._in_button = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.add(tag)
        if tag == "li":
            self._in_item = "empty" in (attrs.get("class") or "")
        elif tag == "a" and self._in_item is not None:
            self.entries.append([attrs.get("href"), "", self._in_item])
            self._in_link = True
        elif tag == "button":
            self._in_button = True
            self.buttons.append("")

    def handle_endtag(self, tag):
        if tag == "a":
            self._in_link = False
        elif tag == "li":
            self._in_item = None
        elif tag == "button":
            self._in_button = False

    def handle_data(self, data):
        if self._in_link:
            self.entries[-1][1] += data
        if self._in_button:
            self.buttons[-1] += data


def xmllint_ok(data):
    proc = subprocess.run(["xmllint", "--noout", "-"], input=data, capture_output=True, timeout=30)
    return proc.returncode == 0


def stamp(path):
    return os.stat(path).st_mtime_ns if os.path.exists(path) else None


def check_page(workdir, page_url, screenshot):
    dom = Dom()
    dom.feed(chromium(workdir, "--dump-dom", page_url))
    titles = [title for _, title, _ in dom.entries]
    expected = sorted(f"-{name}-" for name in LIBRARY)
    check(sorted(titles) == expected, f"the page lists {titles}, not {expected}")
    check(dom.tags <= PAGE_ELEMENTS, f"the DOM holds elements made from names: {sorted(dom.tags - PAGE_ELEMENTS)}")
    check([empty for _, _, empty in dom.entries] == [False] * (len(LIBRARY) - 1) + [True],
          f"the empty feed is not listed last and marked: {dom.entries}")
    check(dom.buttons.count("Copy address") == len(LIBRARY), f"not one copy button a feed: {dom.buttons}")
    for href, title, _ in dom.entries:
        url = urllib.parse.urljoin(page_url, href)
        status, _, body = services.http_get(url)
        if check(status == 200, f"{title}: {url} answered {status}"):
            check(xmllint_ok(body), f"{title}: xmllint refuses {url}")
    if screenshot:
        chromium(workdir, f"--screenshot={screenshot}", "--window-size=412,900", "--hide-scrollbars", page_url)
        check(os.path.getsize(screenshot) > 1000, "no screenshot was made")
    return dom


def check_opml(path):
    with open(path, "rb") as f:
        data = f.read()
    check(xmllint_ok(data), "xmllint refuses feeds.opml")
    outlines = ET.fromstring(data).findall("./body/outline")
    check(len(outlines) == len(LIBRARY), f"feeds.opml has {len(outlines)} outlines, not {len(LIBRARY)}")
    for outline in outlines:
        url = outline.get("xmlUrl")
        status, _, body = services.http_get(url)
        if not check(status == 200, f"{url} from feeds.opml answered {status}"):
            continue
        try:
            parsed = podcastparser.parse(url, __import__("io").BytesIO(body))
            check(parsed.get("title") == outline.get("text"), f"{url}: podcastparser reads {parsed.get('title')!r}")
        except Exception as error:  # noqa: BLE001 -- any refusal is the failure
            check(False, f"podcastparser refuses {url}: {error}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--screenshot", default="")
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="yf-index-")
    os.chmod(workdir, 0o755)  # nginx's workers run as nobody
    nginx = services.Nginx(workdir, os.path.join(workdir, "www"))
    try:
        audio = os.path.join(workdir, "www", "Audio")
        feeds = os.path.join(workdir, "www", "feeds")
        for folder, files in LIBRARY.items():
            os.makedirs(os.path.join(audio, folder))
            for name in files:
                with open(os.path.join(audio, folder, name), "wb") as f:
                    f.write(os.urandom(500))
        os.makedirs(feeds)
        port = nginx.start()
        base = f"http://127.0.0.1:{port}/"

        said = generate(args.program, workdir, feeds, base)
        expected_line = f"Index page: {feeds}/index.html ({base}feeds/index.html)"
        check(said == [f'"{len(LIBRARY)}" XML files generated.', expected_line], f"the run said {said}")
        check_page(workdir, f"{base}feeds/", args.screenshot)
        check_opml(os.path.join(feeds, "feeds.opml"))

        files = [os.path.join(feeds, name) for name in ("index.html", "feeds.opml")]
        before = [stamp(path) for path in files]
        generate(args.program, workdir, feeds, base)
        check([stamp(path) for path in files] == before, "an unchanged run touched index.html or feeds.opml")

        # Outside what nginx serves no address is known: the page offers an OPML file it builds.
        elsewhere = os.path.join(workdir, "elsewhere")
        os.makedirs(elsewhere)
        said = generate(args.program, workdir, elsewhere, base)
        check(said[-1:] == [f"Index page: {elsewhere}/index.html"], f"the run outside said {said}")
        check(not os.path.exists(os.path.join(elsewhere, "feeds.opml")), "feeds.opml written outside the served tree")
        dom = Dom()
        dom.feed(chromium(workdir, "--dump-dom", f"file://{elsewhere}/index.html"))
        check("Download OPML" in dom.buttons, f"no Download OPML button outside the served tree: {dom.buttons}")
    finally:
        nginx.stop()
    if failures:
        print("index e2e: FAILED")
        for failure in failures:
            print("  " + failure)
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print("index e2e: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
