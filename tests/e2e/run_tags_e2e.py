#!/usr/bin/python3
"""End-to-end with real tagged audio: lame, opusenc and flac encode a library (an audiobook,
a talk show, a folder of odd files), the command line writes its feeds with --tags, a real
nginx serves them, and xmllint, feedparser, podcastparser, newsboat and gPodder's gpo read
them as subscribers would. With the switch off again, every feed must be what it was
before tags were ever switched on, byte for byte.

    run_tags_e2e.py --program PATH_TO_yarrowfeed

Exit status 0 when every check passed; the failures are listed otherwise.
"""

import argparse
import email.utils
import io
import math
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import urllib.parse
import wave
import xml.etree.ElementTree as ET

import feedparser
import podcastparser

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_services as services  # noqa: E402

ITUNES = "{http://www.itunes.com/dtds/podcast-1.0.dtd}"
TOOL_TIMEOUT_S = 60
RATE = 22050

# One moment for every chapter, as when a book is copied in one go; the talk show's days.
BOOK_MTIME_NS = 1772359200_123456789  # 1 Mar 2026 10:00 UTC
SHOW_MTIMES_NS = [1772445600_000000000, 1772532000_000000000, 1772618400_000000000]

# The audiobook: file name, track, seconds. The lister puts the chapters first ("Chapter 1" ...
# "Chapter 10", "Credits", "Intro"); the tracks put the intro first and the credits last.
BOOK = [("Intro.mp3", 1, 2.0)] + [(f"Chapter {k}.mp3", k + 1, 2.0 + 0.5 * k) for k in range(1, 11)] \
    + [("Credits.mp3", 12, 3.3)]
ALBUM = "The Quiet Orchard"
AUTHOR = "Ada Reader"
# The talk show: file, title, comment, seconds; no track numbers.
SHOW = [("Monday.opus", "Why birds sing at dawn", "Dawn chorus, explained.", 4.2),
        ("Tuesday.flac", "The long road north", "A walk of 900 km & back.", 5.6),
        ("Wednesday.mp3", "Bread, slowly", "Sourdough <for> beginners.", 6.4)]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def tool(*cmd):
    proc = subprocess.run(list(cmd), stdin=subprocess.DEVNULL, capture_output=True, timeout=TOOL_TIMEOUT_S)
    if proc.returncode != 0:
        raise RuntimeError(f"{cmd[0]} failed: " + proc.stderr.decode(errors="replace")[-2000:])
    return proc.stdout


def write_wav(path, seconds, frequency):
    """A mono 16-bit sine tone; opusenc refuses 32-bit samples."""
    frames = int(round(seconds * RATE))
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * frequency * i / RATE)))
                               for i in range(frames)))


def encode(wav, target, tags):
    """`target` from `wav` with the tags given (title, artist, album, track, comment)."""
    ext = os.path.splitext(target)[1]
    if ext == ".mp3":
        cmd = ["lame", "--quiet", "-b", "32"]
        for flag, key in (("--tt", "title"), ("--ta", "artist"), ("--tl", "album"), ("--tn", "track"),
                          ("--tc", "comment")):
            if key in tags:
                cmd += [flag, tags[key]]
        tool(*cmd, wav, target)
    elif ext == ".opus":
        cmd = ["opusenc", "--quiet"]
        if "title" in tags:
            cmd += ["--title", tags["title"]]
        if "comment" in tags:
            cmd += ["--comment", "DESCRIPTION=" + tags["comment"]]
        tool(*cmd, wav, target)
    elif ext == ".flac":
        tool("flac", "-s", "-f", wav, "-o", target)
        sets = [f"--set-tag={key.upper()}={tags[key]}" for key in ("title", "comment") if key in tags]
        if sets:
            tool("metaflac", *sets, target)


def minimal_pdf():
    body = b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\n"
    return body + b"trailer<</Root 1 0 R>>\n%%EOF\n"


def build_library(audio, scratch):
    """The three folders; returns {file path: seconds} for each intact audio file."""
    lengths = {}
    book = os.path.join(audio, "Quiet Orchard")
    show = os.path.join(audio, "Talk Show")
    odds = os.path.join(audio, "Odds & Ends")
    for folder in (book, show, odds):
        os.makedirs(folder)
    for i, (name, track, seconds) in enumerate(BOOK):
        wav = os.path.join(scratch, f"book{i}.wav")
        write_wav(wav, seconds, 300 + 20 * i)
        path = os.path.join(book, name)
        encode(wav, path, {"title": f"{os.path.splitext(name)[0]} of {ALBUM}", "artist": AUTHOR,
                           "album": ALBUM, "track": f"{track}/12"})
        lengths[path] = seconds
    tool("convert", "-size", "32x32", "xc:red", os.path.join(book, "cover.jpg"))
    for path in os.listdir(book):
        os.utime(os.path.join(book, path), ns=(BOOK_MTIME_NS, BOOK_MTIME_NS))

    for (name, title, comment, seconds), mtime in zip(SHOW, SHOW_MTIMES_NS):
        wav = os.path.join(scratch, name + ".wav")
        write_wav(wav, seconds, 500)
        path = os.path.join(show, name)
        encode(wav, path, {"title": title, "comment": comment, "artist": "Host"})
        os.utime(path, ns=(mtime, mtime))
        lengths[path] = seconds

    wav = os.path.join(scratch, "plain.wav")
    write_wav(wav, 3.0, 440)
    plain = os.path.join(odds, "plain.mp3")
    encode(wav, plain, {})
    lengths[plain] = 3.0
    with open(plain, "rb") as f:
        whole = f.read()
    with open(os.path.join(odds, "cut.mp3"), "wb") as f:
        f.write(whole[: len(whole) * 2 // 5])
    with open(os.path.join(odds, "noise.mp3"), "wb") as f:
        f.write(os.urandom(5000))
    tool("convert", "-size", "16x16", "xc:blue", os.path.join(odds, "Folder.PNG"))
    with open(os.path.join(odds, "notes.pdf"), "wb") as f:
        f.write(minimal_pdf())
    return lengths


def generate(program, workdir, base_url, *switch, settings="config.ini", output="feeds", trace=None):
    """One run from the command line; `trace`: a file for strace's list of the files it opened."""
    env = services.child_env(workdir)
    env["XDG_CACHE_HOME"] = os.path.join(workdir, "cache")
    strace = ["strace", "-f", "-e", "trace=openat", "-o", trace] if trace else []
    if trace:  # a sanitizer build's leak check cannot run under ptrace
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    proc = subprocess.run(
        strace + [program, "--generate", "--quiet", "--input", os.path.join(workdir, "www", "Audio"),
         "--output", os.path.join(workdir, "www", output), "--settings", os.path.join(workdir, settings),
         "--base-url", base_url, *switch],
        env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    check(proc.returncode == 0, f"run {switch} exited {proc.returncode}: {proc.stderr.decode(errors='replace')}")


def feeds_of(folder):
    """{feed file name: (bytes, modification time in ns)}."""
    found = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".xml"):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[name] = (f.read(), os.stat(path).st_mtime_ns)
    return found


def local_path(audio, url, base_url):
    """The file an enclosure or art link points at, by the link rule (base URL + path)."""
    return os.path.join(os.path.dirname(audio), urllib.parse.unquote(url[len(base_url):]))


def check_feed(name, url, audio, base_url, lengths):
    """The parsers' checks on one served feed; returns its channel element."""
    status, headers, body = services.http_get(url)
    if not check(status == 200, f"{name}: nginx answered {status}"):
        return None
    lint = subprocess.run(["xmllint", "--noout", "-"], input=body, capture_output=True, timeout=TOOL_TIMEOUT_S)
    check(lint.returncode == 0, f"{name}: xmllint: {lint.stderr.decode(errors='replace')[:500]}")
    parsed = feedparser.parse(body, response_headers={"content-type": headers.get("Content-Type", "")})
    check(parsed.bozo == 0, f"{name}: feedparser bozo: {parsed.get('bozo_exception')}")
    podcast = podcastparser.parse(url, io.BytesIO(body))
    for episode in podcast["episodes"]:
        enclosure = local_path(audio, episode["enclosures"][0]["url"], base_url)
        if enclosure in lengths:
            check(abs(episode["total_time"] - lengths[enclosure]) <= 1,
                  f"{name}: {os.path.basename(enclosure)} lasts {episode['total_time']} s, not "
                  f"{lengths[enclosure]} s")
    return ET.fromstring(body).find("channel")


def check_art(name, channel, audio, base_url, picture, media_type):
    """The channel's picture: linked twice, served by nginx with its own bytes, no episode."""
    image = channel.find("image")
    if not check(image is not None, f"{name}: no <image>"):
        return
    url = image.findtext("url")
    check(channel.find(ITUNES + "image") is not None and channel.find(ITUNES + "image").get("href") == url,
          f"{name}: itunes:image differs from the image URL {url}")
    check(image.findtext("title") == channel.findtext("title"), f"{name}: the image's title is not the channel's")
    check(image.findtext("link") == channel.findtext("link"), f"{name}: the image's link is not the channel's")
    check(local_path(audio, url, base_url) == picture, f"{name}: the art link {url} names another file")
    status, headers, body = services.http_get(url)
    with open(picture, "rb") as f:
        check(status == 200 and body == f.read() and headers.get("Content-Type") == media_type,
              f"{name}: the art link answered {status} {headers.get('Content-Type')} with {len(body)} bytes")
    check(all(not item.findtext("link").endswith(urllib.parse.quote(os.path.basename(picture)))
              for item in channel.findall("item")), f"{name}: the picture is also an episode")


def check_book(channel, audio, base_url):
    name = "audiobook"
    check(channel.findtext("title") == ALBUM, f"{name}: channel title {channel.findtext('title')!r}")
    check(channel.findtext(ITUNES + "type") == "serial", f"{name}: not a serial")
    check(channel.findtext(ITUNES + "author") == AUTHOR, f"{name}: author {channel.findtext(ITUNES + 'author')!r}")
    items = channel.findall("item")
    want = [f"{os.path.splitext(file)[0]} of {ALBUM}" for file, _, _ in BOOK]
    check([item.findtext("title") for item in items] == want,
          f"{name}: episodes in the order {[item.findtext('title') for item in items]}")
    check([item.findtext(ITUNES + "episode") for item in items] == [str(t) for _, t, _ in BOOK],
          f"{name}: episode numbers {[item.findtext(ITUNES + 'episode') for item in items]}")
    dates = [email.utils.parsedate_to_datetime(item.findtext("pubDate")).timestamp() for item in items]
    check(all(later - earlier == 60 for earlier, later in zip(dates, dates[1:])),
          f"{name}: dates do not rise a minute a chapter: {dates}")
    check(dates and dates[0] == BOOK_MTIME_NS // 10**9, f"{name}: the first chapter is not dated as the files")
    check_art(name, channel, audio, base_url, os.path.join(audio, "Quiet Orchard", "cover.jpg"), "image/jpeg")


def check_show(channel):
    name = "talk show"
    check(channel.findtext("title") == "-Talk Show-", f"{name}: channel title {channel.findtext('title')!r}")
    check(channel.find(ITUNES + "type") is None and channel.find("image") is None, f"{name}: a serial or art")
    got = [(item.findtext("title"), item.findtext("description"), item.find(ITUNES + "episode")) for item in
           channel.findall("item")]
    check(got == [(title, comment, None) for _, title, comment, _ in SHOW], f"{name}: episodes {got}")


def check_odds(channel, audio, base_url):
    name = "odd files"
    titles = [item.findtext("title") for item in channel.findall("item")]
    check(titles == ["cut.mp3", "noise.mp3", "notes.pdf", "plain.mp3"], f"{name}: episodes {titles}")
    check(channel.findtext("title") == "-Odds & Ends-", f"{name}: channel title {channel.findtext('title')!r}")
    check_art(name, channel, audio, base_url, os.path.join(audio, "Odds & Ends", "Folder.PNG"), "image/png")


def tag_titles():
    return {f"{os.path.splitext(file)[0]} of {ALBUM}" for file, _, _ in BOOK} | {title for _, title, _, _ in SHOW}


def check_readers(workdir, urls):
    """newsboat and gpo, subscribed to every feed, show the episodes by their tags' titles."""
    services.newsboat_items(workdir, urls)
    with sqlite3.connect(os.path.join(workdir, "newsboat", "cache.db")) as db:
        shown = {row[0] for row in db.execute("select title from rss_item")}
    check(tag_titles() <= shown, f"newsboat lacks {sorted(tag_titles() - shown)}")

    env = services.child_env(workdir)
    env["GPODDER_HOME"] = os.path.join(workdir, "gpodder")
    env["GPODDER_DOWNLOAD_DIR"] = os.path.join(workdir, "gpodder", "downloads")
    listed = ""
    for url in urls:
        for command in (["subscribe", url], ["episodes", url]):
            proc = subprocess.run(["gpo", *command], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=services.READER_TIMEOUT_S, preexec_fn=services.die_with_parent)
            check(proc.returncode == 0, f"gpo {command[0]} {url}: {proc.stderr.decode(errors='replace')[-500:]}")
            listed += proc.stdout.decode(errors="replace")
    missing = sorted(title for title in tag_titles() if title not in listed)
    check(not missing, f"gpo lacks {missing}")
    proc = subprocess.run(["gpo", "list"], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=services.READER_TIMEOUT_S, preexec_fn=services.die_with_parent)
    check(ALBUM in proc.stdout.decode(errors="replace"), "gpo does not list the audiobook by its album")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="yf-tags-")
    os.chmod(workdir, 0o755)  # nginx's workers run as nobody
    nginx = services.Nginx(workdir, os.path.join(workdir, "www"))
    try:
        audio = os.path.join(workdir, "www", "Audio")
        feeds = os.path.join(workdir, "www", "feeds")
        os.makedirs(feeds)
        scratch = os.path.join(workdir, "wav")
        os.makedirs(scratch)
        lengths = build_library(audio, scratch)
        port = nginx.start()
        base_url = f"http://127.0.0.1:{port}/"

        generate(args.program, workdir, base_url)  # never switched on
        untagged = feeds_of(feeds)
        check(len(untagged) == 3 and not any(b"itunes" in text for text, _ in untagged.values()),
              f"without tags: {sorted(untagged)}")

        generate(args.program, workdir, base_url, "--tags")
        tagged = feeds_of(feeds)
        check(os.path.isfile(os.path.join(workdir, "cache", "yarrowfeed", "tags.sqlite")),
              "no tag cache in the user's cache folder")
        urls = {name: base_url + "feeds/" + urllib.parse.quote(name) for name in tagged}
        for name, check_one in (("-Quiet Orchard-.xml", lambda c: check_book(c, audio, base_url)),
                                ("-Talk Show-.xml", check_show),
                                ("-Odds & Ends-.xml", lambda c: check_odds(c, audio, base_url))):
            if check(name in urls, f"no feed {name}: {sorted(urls)}"):
                channel = check_feed(name, urls[name], audio, base_url, lengths)
                if channel is not None:
                    check_one(channel)
        check_readers(workdir, list(urls.values()))

        # The stored switch: still on. Nothing changed, so no media file is opened, no feed written.
        trace = os.path.join(workdir, "openat.txt")
        generate(args.program, workdir, base_url, trace=trace)
        check(feeds_of(feeds) == tagged, "an unchanged run with tags wrote feeds again")
        with open(trace, errors="replace") as f:
            opened = [line for line in f if "openat(" in line and line.split('"')[1:2]
                      and os.path.splitext(line.split('"')[1])[1] in (".mp3", ".opus", ".flac")]
        check(not opened, f"an unchanged run with tags opened media files: {opened[:3]}")

        generate(args.program, workdir, base_url, "--no-tags")
        check(feeds_of(feeds).keys() == untagged.keys() and
              all(feeds_of(feeds)[name][0] == untagged[name][0] for name in untagged),
              "with tags off again the feeds differ from those written before tags were on")
        os.makedirs(os.path.join(workdir, "www", "fresh"))
        generate(args.program, workdir, base_url, settings="fresh.ini", output="fresh")
        fresh = feeds_of(os.path.join(workdir, "www", "fresh"))
        check({n: t for n, (t, _) in fresh.items()} == {n: t for n, (t, _) in untagged.items()},
              "a run with fresh settings differs from the first run without tags")
    finally:
        nginx.stop()
    if failures:
        print("tags e2e: FAILED (work folder kept: " + workdir + ")")
        for failure in failures:
            print("  " + failure)
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print("tags e2e: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
