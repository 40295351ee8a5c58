#!/usr/bin/env python3
"""Checks the generated API reference as a reader meets it.

Usage: qvCheckReference.py HTML_DIR INCLUDE_DIR [--screenshot PNG]

- Every public class or struct of the headers (declared at namespace scope, or nested in a
  public section) has a page of its own, found by the page's title ("X Class Reference").
  The namespaces that docs/Doxyfile leaves out (EXCLUDE_SYMBOLS) are skipped.
- Every local href and src of every page resolves: the file exists and, for a #fragment, the
  file has an element with that id (or an <a name=...>).
- Headless Chromium opens the index and two class pages: the rendered DOM holds the page's
  title and text of the header's contract; a screenshot of the index is a non-trivial PNG
  (written to --screenshot when given, else to a temporary file).
Prints "N passed, M failed" and exits non-zero on any failure.
"""
import html.parser
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse

EXCLUDED_NAMESPACES = {"qvPlatform", "qvSynchDetail", "qvTeamDetail"}
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                  "--disable-dev-shm-usage", "--no-first-run"]
# Pages opened in the browser: the class and a phrase of its contract from the header.
BROWSED_CLASSES = [("qvSynch::Semaphore", "Lifetime:"), ("qvThread", "Threads:")]

failures = []
passes = 0


def check(condition, message):
    global passes
    if condition:
        passes += 1
    else:
        failures.append(message)
        print("FAILED: " + message)


def strip_comments_and_strings(text):
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r'"(?:\\.|[^"\\])*"', '""', text)


def public_classes(include_dir):
    """Qualified names of the classes and structs that users of the headers can name."""
    names = set()
    token = re.compile(r"\b(namespace|class|struct|union|enum)\b|[{};]|\b(public|protected|private)\s*:")
    for root, _, files in os.walk(include_dir):
        for name in files:
            if not name.endswith(".h"):
                continue
            with open(os.path.join(root, name), encoding="utf-8") as f:
                text = strip_comments_and_strings(f.read())
            text = re.sub(r"^\s*#.*$", "", text, flags=re.M)
            # scopes: (kind, name, access) with kind namespace/class/other
            scopes = []
            pos = 0
            pending = None  # (kind, name) of a class/namespace head waiting for its "{"
            while True:
                m = token.search(text, pos)
                if not m:
                    break
                pos = m.end()
                word = m.group(0)
                if m.group(1) in ("namespace", "class", "struct", "union"):
                    if text[m.start() - 1:m.start()] == "<" or re.match(r"\s*[>,]", text[m.end():]):
                        continue  # a template parameter
                    head = re.match(r"\s*(?:QV_EXPORT\s+|alignas\([^)]*\)\s*)*(\w+)?", text[m.end():])
                    pending = (m.group(1), head.group(1) if head else None)
                elif m.group(1) == "enum":
                    pending = ("other", None)
                elif word == "{":
                    if pending and pending[0] in ("class", "struct", "union", "namespace"):
                        kind, ident = pending
                        access = "private" if kind == "class" else "public"
                        scopes.append((kind, ident, access))
                        if kind != "namespace" and ident:
                            visible = all(s[0] == "namespace" or s[2] == "public" for s in scopes[:-1])
                            qualified = "::".join(s[1] or "" for s in scopes)
                            excluded = any(s[0] == "namespace" and s[1] in EXCLUDED_NAMESPACES
                                           for s in scopes)
                            if visible and not excluded:
                                names.add(qualified)
                    else:
                        scopes.append(("other", None, "public"))
                    pending = None
                elif word == "}":
                    if scopes:
                        scopes.pop()
                    pending = None
                elif word == ";":
                    pending = None  # a forward declaration
                elif m.group(2):
                    if scopes and scopes[-1][0] in ("class", "struct", "union"):
                        scopes[-1] = (scopes[-1][0], scopes[-1][1], m.group(2))
    return names


class PageParser(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []
        self.anchors = set()
        self.title = ""
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        for key in ("id", "name"):
            if attributes.get(key):
                self.anchors.add(attributes[key])
        for key in ("href", "src"):
            if attributes.get(key):
                self.links.append(attributes[key])
        if tag == "title":
            self._in_title = True

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data


def parse_pages(html_dir):
    pages = {}
    for name in sorted(os.listdir(html_dir)):
        if name.endswith(".html"):
            parser = PageParser()
            with open(os.path.join(html_dir, name), encoding="utf-8") as f:
                parser.feed(f.read())
            pages[name] = parser
    return pages


def check_links(html_dir, pages):
    broken = []
    count = 0
    for name, page in pages.items():
        for link in page.links:
            parsed = urllib.parse.urlparse(link)
            if parsed.scheme in ("http", "https", "mailto", "javascript") or parsed.netloc:
                continue
            count += 1
            target = name if parsed.path == "" else os.path.normpath(
                os.path.join(os.path.dirname(name), urllib.parse.unquote(parsed.path)))
            path = os.path.join(html_dir, target)
            if not os.path.isfile(path):
                broken.append(f"{name}: {link} (no file {target})")
                continue
            if parsed.fragment and target.endswith(".html"):
                if target not in pages or parsed.fragment not in pages[target].anchors:
                    broken.append(f"{name}: {link} (no anchor #{parsed.fragment} in {target})")
    for entry in broken[:40]:
        print("  broken link: " + entry)
    check(not broken, f"{len(broken)} of {count} local links are broken")
    print(f"links: {count} local links checked, {len(broken)} broken")


def chromium():
    for candidate in ("chromium", "chromium-browser", "google-chrome"):
        for folder in os.environ.get("PATH", "").split(os.pathsep):
            path = os.path.join(folder, candidate)
            if os.access(path, os.X_OK):
                return path
    return None


def run_browser(arguments, url):
    profile = tempfile.mkdtemp(prefix="qvdocs-chromium-")
    command = [chromium()] + CHROMIUM_FLAGS + [f"--user-data-dir={profile}"] + arguments + [url]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    finally:
        subprocess.run(["rm", "-rf", profile], check=False)
    return result


def visible_text(dom):
    dom = re.sub(r"<(script|style)\b.*?</\1>", "", dom, flags=re.S)
    return html.unescape(re.sub(r"<[^>]+>", " ", dom))


def browse(html_dir, pages, class_pages, screenshot):
    if not chromium():
        check(False, "no chromium on PATH to open the pages")
        return
    index = os.path.abspath(os.path.join(html_dir, "index.html"))
    targets = [("index.html", "qvFoundationComponents", "API reference")]
    for qualified, phrase in BROWSED_CLASSES:
        page = class_pages.get(qualified)
        check(page is not None, f"class page of {qualified} for the browser")
        if page:
            targets.append((page, qualified, phrase))
    for page, title, phrase in targets:
        result = run_browser(["--dump-dom"], "file://" + os.path.abspath(os.path.join(html_dir, page)))
        dom = result.stdout
        title_match = re.search(r"<title>(.*?)</title>", dom, flags=re.S)
        rendered_title = html.unescape(title_match.group(1)) if title_match else ""
        text = visible_text(dom)
        check(result.returncode == 0 and len(text.split()) > 50,
              f"{page}: chromium rendered no text (exit {result.returncode})")
        check(title in rendered_title, f"{page}: title {rendered_title!r} lacks {title!r}")
        check(phrase in text, f"{page}: rendered text lacks {phrase!r}")
        print(f"browser: {page}: title {rendered_title!r}, {len(text.split())} words")
    target = screenshot or os.path.join(tempfile.mkdtemp(prefix="qvdocs-shot-"), "index.png")
    if os.path.exists(target):
        os.remove(target)
    result = run_browser([f"--screenshot={os.path.abspath(target)}", "--window-size=1280,1000"],
                         "file://" + index)
    size = os.path.getsize(target) if os.path.exists(target) else 0
    with open(target, "rb") if size else open(os.devnull, "rb") as f:
        signature = f.read(8)
    check(size > 20000 and signature == b"\x89PNG\r\n\x1a\n",
          f"screenshot of index.html: {size} bytes (exit {result.returncode})")
    print(f"browser: screenshot of index.html, {size} bytes: {target}")


def main():
    arguments = sys.argv[1:]
    screenshot = None
    if "--screenshot" in arguments:
        at = arguments.index("--screenshot")
        screenshot = arguments[at + 1]
        del arguments[at:at + 2]
    if len(arguments) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    html_dir, include_dir = arguments
    pages = parse_pages(html_dir)
    check("index.html" in pages, "index.html exists")

    class_pages = {}
    for name, page in pages.items():
        m = re.search(r":\s*(.+?)\s+(?:Class|Struct|Union)(?: Template)? Reference", page.title)
        if m:  # "qvDCList< T >::Node Class Reference": the name without template arguments
            class_pages[re.sub(r"\s*<[^<>]*>", "", m.group(1))] = name
    expected = public_classes(include_dir)
    missing = sorted(expected - set(class_pages))
    check(len(expected) > 20, f"found only {len(expected)} public classes in {include_dir}")
    check(not missing, "public classes without a page: " + ", ".join(missing))
    print(f"classes: {len(expected)} public classes in the headers, {len(class_pages)} class pages")

    check_links(html_dir, pages)
    browse(html_dir, pages, class_pages, screenshot)

    print(f"{passes} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
