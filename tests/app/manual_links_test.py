#!/usr/bin/python3
"""The manual as built, installed and made without pandoc: every Markdown page has its
HTML page, and every link or picture in the HTML that names a local file (and anchor)
finds it. Usage: manual_links_test.py SOURCE_DIR BUILT_DIR BUILD_TREE CMAKE"""
import html.parser
import os
import pathlib
import subprocess
import sys
import tempfile
import urllib.parse


class Refs(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.refs, self.ids = [], set()

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name == "id" and value:
                self.ids.add(value)
            if (tag, name) in (("a", "href"), ("img", "src"), ("link", "href")) and value:
                self.refs.append(value)


def parse(path, cache):
    if path not in cache:
        p = Refs()
        p.feed(path.read_text(encoding="utf-8"))
        cache[path] = p
    return cache[path]


def check(pages, folder):
    """Problems of the HTML manual in folder: missing pages, broken links."""
    problems, cache = [], {}
    for page in pages:
        html_page = folder / (page + ".html")
        if not html_page.is_file():
            problems.append(f"{html_page}: missing")
            continue
        for ref in parse(html_page, cache).refs:
            url = urllib.parse.urlsplit(ref)
            if url.scheme or url.netloc:
                continue  # a web address: not checked here
            target = (html_page.parent / urllib.parse.unquote(url.path)).resolve() \
                if url.path else html_page
            if not target.is_file():
                problems.append(f"{html_page.name}: {ref}: no file {target}")
            elif target.suffix == ".md":
                problems.append(f"{html_page.name}: {ref}: a Markdown source")
            elif url.fragment and target.suffix == ".html" and \
                    url.fragment not in parse(target, cache).ids:
                problems.append(f"{html_page.name}: {ref}: no anchor #{url.fragment}")
    if not problems and not any(parse(folder / (p + ".html"), cache).refs for p in pages):
        problems.append(f"{folder}: no links at all (nothing was checked)")
    return problems


def main():
    source, built, tree, cmake = map(pathlib.Path, sys.argv[1:5])
    pages = sorted(p.stem for p in source.glob("*.md"))
    if "index" not in pages:
        print(f"{source}: no index.md")
        return 1
    problems = check(pages, built)
    # Every page links back to the contents or is reached from it.
    index = (built / "index.html").read_text(encoding="utf-8")
    problems += [f"index.html does not link {p}.html" for p in pages
                 if p != "index" and f'href="{p}.html' not in index]
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        # The installed manual, in its place under the prefix.
        r = subprocess.run([str(cmake), "--install", str(tree), "--component", "manual",
                            "--prefix", str(tmp / "prefix")], capture_output=True, text=True)
        if r.returncode != 0:
            problems.append("install failed: " + r.stderr)
        else:
            problems += check(pages, tmp / "prefix/share/vantorel/manual")
        # The pages as a build without pandoc makes them.
        plain = tmp / "plain"
        for p in pages:
            subprocess.run([str(cmake), f"-DIN={source / (p + '.md')}",
                            f"-DOUT={plain / (p + '.html')}", f"-DPAGES={','.join(pages)}",
                            "-P", str(source / "plain_html.cmake")], check=True)
        problems += check(pages, plain)
    for p in problems:
        print(p)
    print(f"{len(pages)} pages checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
