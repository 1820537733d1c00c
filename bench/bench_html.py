"""Time and size of the HTML page for a large stored report.

By default a synthetic job of 8 tasks x 600 test cases x 4 steps (24,008
nodes, 24,000 of them sections) is made as plain data with a log per task; with
--folder the results.json of a stored job (tools/job --out DIR) is read
instead. Prints the size of the report's JSON text, of the page, and of the
page without its log text, and the best of --repeat timings of the JSON load,
`render` and `write`. With --browser it also opens the page in headless
chromium (Debian's, through selenium on /usr/bin/python3) and prints how long
the page took until its tree was drawn. Nothing is asserted.

    .venv310/bin/python bench/bench_html.py [--folder DIR] [--repeat R]
    /usr/bin/python3 bench/bench_html.py --browser
"""
import argparse
import gc
import json
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.abspath(os.environ.get("KOVRA_PACKAGE_ROOT") or ROOT))
sys.path.insert(1, os.path.join(ROOT, "tests"))

from kovra.reporter import html as report_html  # noqa: E402


def best(repeat, call):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def browser_open(path):
    """Seconds from navigation to the tree being drawn, as the page's clock tells."""
    import shutil
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
    from conftest import BROWSER_FLAGS

    profile = tempfile.mkdtemp(prefix="kovra-bench-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in BROWSER_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get("file://" + os.path.abspath(path))
        while not driver.execute_script("return document.documentElement.getAttribute('data-ready')"):
            time.sleep(0.02)
        timing = driver.execute_script(
            "var n = performance.getEntriesByType('navigation')[0];"
            "return [n.responseEnd, n.domContentLoadedEventEnd, document.querySelectorAll('#tree li').length];")
        return timing
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", help="a stored job's folder (results.json and logs)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--browser", action="store_true", help="also time opening the page in chromium")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kovra-bench-html-") as scratch:
        if args.folder:
            folder = args.folder
            json_path = os.path.join(folder, "results.json")
            label = "stored job " + folder
        else:
            from support.report_pages import synthetic_job
            folder = scratch
            json_path = os.path.join(scratch, "results.json")
            with open(json_path, "w") as stream:
                json.dump(synthetic_job(scratch, tasks=8, testcases=600, steps=4), stream)
            label = "synthetic job 8 x 600 x 4"

        def load():
            with open(json_path) as stream:
                return json.load(stream)

        document = load()
        page = report_html.render(document, source_dir=folder)
        bare = report_html.render(document)
        nodes = len(report_html._page_data(report_html._report_of(document), document, None)["nodes"])
        out = os.path.join(scratch, "report.html")

        print("python %s, %s: %d nodes" % (sys.version.split()[0], label, nodes))
        print("  sizes (bytes)")
        print("    results.json                 %12d" % os.path.getsize(json_path))
        print("    page with log stretches      %12d" % len(page.encode("utf-8")))
        print("    page without logs            %12d" % len(bare.encode("utf-8")))
        print("  seconds (best of %d, GC collected before each)" % args.repeat)
        print("    json.load                    %12.3f" % best(args.repeat, load))
        print("    render                       %12.3f" % best(args.repeat, lambda: report_html.render(
            document, source_dir=folder)))
        print("    render without logs          %12.3f" % best(args.repeat, lambda: report_html.render(document)))
        print("    write                        %12.3f" % best(args.repeat, lambda: report_html.write(
            document, out, source_dir=folder)))
        if args.browser:
            response, ready, rows = browser_open(out)
            print("  chromium (headless): file read %.0f ms, tree drawn %.0f ms after navigation, %d rows in the DOM"
                  % (response, ready, rows))


if __name__ == "__main__":
    main()
