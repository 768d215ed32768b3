#!/usr/bin/python3
"""End-to-end, run after run: a real nginx publishes a library whose feeds the command line
writes, and newsboat subscribes to them. A new base URL must bring no episode back as new;
a renamed and a removed folder must take their old feeds with them, and nothing else in
the output directory may change.

    run_truth_e2e.py --program PATH_TO_yarrowfeed

Exit status 0 when every check passed; the failures are listed otherwise.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_services as services  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def generate(program, workdir, base_url):
    proc = subprocess.run(
        [program, "--generate", "--input", os.path.join(workdir, "www", "Audio"),
         "--output", os.path.join(workdir, "www", "feeds"), "--settings", os.path.join(workdir, "config.ini"),
         "--base-url", base_url],
        env=services.child_env(workdir), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    check(proc.returncode == 0, f"run with {base_url} exited {proc.returncode}: {proc.stderr.decode(errors='replace')}")
    return proc.stderr.decode(errors="replace")


def snapshot(folder):
    """Every file of `folder` with its bytes and its modification time in nanoseconds."""
    files = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                files[name] = (f.read(), os.stat(path).st_mtime_ns)
    return files


def feed_urls(port, folder):
    return [f"http://127.0.0.1:{port}/feeds/{urllib.parse.quote(name)}"
            for name in sorted(os.listdir(folder)) if name.endswith(".xml")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="yf-truth-")
    os.chmod(workdir, 0o755)  # nginx's workers run as nobody
    nginx = services.Nginx(workdir, os.path.join(workdir, "www"))
    try:
        audio = os.path.join(workdir, "www", "Audio")
        feeds = os.path.join(workdir, "www", "feeds")
        for rel in ["Book One/Chapter 1.mp3", "Book One/Chapter 2.mp3", "Book One/Chapter 10.mp3",
                    "New Show/Ep 1.mp3", "New Show/Ep 2.mp3", "Old Show/Ep 1.mp3", "Talks/a & b.mp3",
                    "Keep/keep.mp3"]:
            path = os.path.join(audio, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(os.urandom(600))
        os.makedirs(feeds)
        port = nginx.start()

        generate(args.program, workdir, f"http://127.0.0.1:{port}/")
        urls = feed_urls(port, feeds)
        check(len(urls) == 5, f"first run: {len(urls)} feeds, not 5")
        first, _, _ = services.newsboat_items(workdir, urls)
        check(first == 8, f"newsboat holds {first} items after the first run, not 8")

        # The same server under another name: every link changes, no guid does.
        generate(args.program, workdir, f"http://localhost:{port}/")
        again, _, _ = services.newsboat_items(workdir, urls)
        check(again == first, f"after a new base URL newsboat holds {again} items, not {first}: episodes came back as new")

        # Files the program did not write, or no longer owns, stay whatever happens.
        with open(os.path.join(feeds, "notes.txt"), "w") as f:
            f.write("mine\n")
        with open(os.path.join(feeds, "-Never listed-.xml"), "w") as f:
            f.write('<rss version="2.0">\r\n<channel></channel></rss>\r\n')
        with open(os.path.join(feeds, "-Talks-.xml"), "w") as f:  # listed, now holding something else
            f.write("a note kept under a feed's name\n")
        shutil.rmtree(os.path.join(audio, "Talks"))
        os.rename(os.path.join(audio, "New Show"), os.path.join(audio, "Renamed Show"))
        shutil.rmtree(os.path.join(audio, "Old Show"))
        before = snapshot(feeds)
        said = generate(args.program, workdir, f"http://localhost:{port}/")
        after = snapshot(feeds)
        check("-New Show-.xml" not in after, "the renamed folder's old feed is still there")
        check("-Old Show-.xml" not in after, "the removed folder's feed is still there")
        check("-Renamed Show-.xml" in after, "the renamed folder has no feed")
        for name in ["notes.txt", "-Never listed-.xml", "-Talks-.xml"]:
            check(after.get(name) == before[name], f"{name} was changed or removed")
        for name in ["-Book One-.xml", "-Keep-.xml"]:
            check(after.get(name) == before[name], f"{name} was touched (bytes or modification time)")
        for name in ["-New Show-.xml", "-Old Show-.xml"]:
            check(name in said, f"the removal of {name} was not named: {said!r}")
        status, _, body = services.http_get(f"http://127.0.0.1:{port}/feeds/-New%20Show-.xml")
        check(status == 404, f"nginx still serves the old feed ({status}, {len(body)} bytes)")
    finally:
        nginx.stop()
    if failures:
        print("truth e2e: FAILED")
        for failure in failures:
            print("  " + failure)
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print("truth e2e: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
