"""The HTML page of a stored report, read back without a browser: its markup,
its embedded data, its policy and the log stretches it carries."""
import base64
import datetime
import hashlib
import json
import os
import re

import pytest
import yaml

from kovra.reporter import html as report_html
from support.report_pages import (CONSOLE, HOSTILE, LONG_LINE, hostile_document, page_data, parse_page, run_main_job,
                          stretch_text, write_log)


def node_by_id(data, node_id):
    matches = [node for node in data["nodes"] if node[2] == node_id]
    assert len(matches) == 1, node_id
    return matches[0]


def csp_of(page):
    metas = [attrs for tag, attrs in parse_page(page).tags
             if tag == "meta" and attrs.get("http-equiv") == "Content-Security-Policy"]
    assert len(metas) == 1
    return dict((part.split(" ", 1) + [""])[:2] for part in metas[0]["content"].split("; "))


def sha256(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()


class TestHostileText:
    @pytest.fixture
    def page(self, tmp_path):
        return report_html.render(hostile_document(str(tmp_path)), source_dir=str(tmp_path))

    def test_markup_is_the_skeleton_whatever_the_report_says(self, page, tmp_path):
        empty = report_html.render({"version": "3.2", "report": {"id": "x", "tasks": []}})
        tags = [tag for tag, _ in parse_page(page).tags]
        assert tags == [tag for tag, _ in parse_page(empty).tags]
        for tag, attrs in parse_page(page).tags:
            assert not [name for name in attrs if name.startswith("on")], (tag, attrs)
            assert "javascript:" not in " ".join(str(v) for v in attrs.values())

    def test_only_the_page_script_and_the_data_block_are_scripts(self, page):
        scripts = parse_page(page).scripts
        assert [attrs for attrs, _ in scripts] == [{"type": "application/json", "id": "report-data"}, {}]
        assert scripts[1][1] == report_html.asset("report.js")
        block = scripts[0][1]
        assert "<" not in block and ">" not in block and "&" not in block
        assert page.count("</script") == 2

    def test_every_text_survives_exactly(self, page):
        data = page_data(page)
        task = data["nodes"][0]
        assert task[2] == HOSTILE[0] and task[3] == HOSTILE[1] and task[6] == HOSTILE[3]
        assert task[7]["details"] == [CONSOLE]
        failing = node_by_id(data, "broken-step")
        assert failing[7]["reason"] == HOSTILE[1] + "\n" + CONSOLE
        assert failing[7]["rdata"] == {"why": HOSTILE[0]}
        for node, text in zip(data["nodes"][1:], HOSTILE):
            assert node[2] == text and node[3] is None and node[6] == text + "\n" + CONSOLE
            assert data["types"][node[1]] == text
            assert node[7]["details"] == [text, CONSOLE, LONG_LINE]
            assert node[7]["extra"] == {text: {"nested": text}, "long": LONG_LINE}
            assert node[7]["xref"] == {"file": text, "url": HOSTILE[2]}
        header = {key: value for _, key, value in data["header"]}
        assert header["host"] == HOSTILE[1] and header["release"] == HOSTILE[3] and header["cli"] == LONG_LINE

    def test_title_is_escaped_text(self, page):
        title = re.search("<title>(.*)</title>", page).group(1)
        assert "<" not in title and ">" not in title
        assert report_html.html.unescape(title) == "Job " + HOSTILE[0]

    def test_template_markers_in_report_text_stay_text(self, page):
        assert page.count(report_html.asset("report.js")) == 1
        data = page_data(page)
        assert node_by_id(data, HOSTILE[7])[2] == HOSTILE[7]

    def test_lone_surrogates_and_line_separators_stay_valid(self):
        text = "a\ud800b\u2028c\udfff"
        page = report_html.render({"report": {"id": text, "tasks": [{"id": text, "name": "\u2029"}]}})
        page.encode("utf-8")  # no lone surrogate reaches the file
        assert page_data(page)["nodes"][0][2] == text


class TestPolicy:
    def test_only_the_page_own_script_and_style_may_run(self):
        page = report_html.render({"report": {"id": "job", "tasks": []}})
        policy = csp_of(page)
        parsed = parse_page(page)
        assert policy["default-src"] == "'none'"
        assert policy["script-src"] == sha256(parsed.scripts[1][1])
        assert policy["style-src"] == sha256(parsed.styles[0][1])
        assert policy["img-src"] == "data:"
        assert "unsafe" not in page.split("<style>")[0]

    def test_assets_cannot_end_their_own_elements(self):
        for name in ("report.js", "report.css"):
            text = report_html.asset(name).lower()
            assert "</script" not in text and "</style" not in text and "<!--" not in text


class TestLogStretches:
    def doc(self, logs, result="passed"):
        return {"report": {"id": "job", "tasks": [{"id": "t", "type": "Task", "sections": [
            {"id": "s%d" % number, "result": {"value": result}, "logs": record}
            for number, record in enumerate(logs)]}]}}

    def test_a_stretch_is_the_bytes_the_section_wrote(self, tmp_path):
        spans = write_log(str(tmp_path / "t.log"), ["first", "caf\u00e9 \U0001f525 second", "third"])
        begin, size = spans["caf\u00e9 \U0001f525 second"]
        inner = {"file": "t.log", "begin": begin + 6, "size": 4}  # starts after the two-byte letter
        page = report_html.render(self.doc([{"file": "t.log", "begin": begin, "size": size}, inner]),
                                  source_dir=str(tmp_path))
        data = page_data(page)
        assert stretch_text(data, node_by_id(data, "s0")) == ["caf\u00e9 \U0001f525 second\n"]
        assert stretch_text(data, node_by_id(data, "s1")) == ["\U0001f525"]
        # Overlapping stretches share the embedded text.
        assert [c[1] for c in data["logfiles"][0]["chunks"]] == ["caf\u00e9 \U0001f525 second\n"]

    def test_a_long_stretch_keeps_its_head_and_tail(self, tmp_path):
        lines = ["line %05d" % n for n in range(4000)]
        write_log(str(tmp_path / "t.log"), lines)
        raw = (tmp_path / "t.log").read_bytes()
        page = report_html.render(self.doc([{"file": "t.log", "begin": 100, "size": len(raw) - 200}]),
                                  source_dir=str(tmp_path))
        head, tail = stretch_text(page_data(page), page_data(page)["nodes"][1])
        assert head == raw[100:100 + report_html.STRETCH_HEAD].decode()
        assert tail == raw[len(raw) - 100 - report_html.STRETCH_TAIL:len(raw) - 100].decode()

    def test_stretches_that_cannot_be_shown_say_why(self, tmp_path):
        write_log(str(tmp_path / "t.log"), ["only line"])
        (tmp_path.parent / "secret.log").write_text("top secret content\n")
        os.mkdir(str(tmp_path / "dir.log"))
        records = [{"file": "gone.log", "begin": 0, "size": 4}, {"file": "t.log", "begin": 0, "size": -1},
                   {"file": "t.log", "begin": 500, "size": 4}, {"file": "../secret.log", "begin": 0, "size": 6},
                   {"file": "t.log", "begin": 0}, {"file": "t.log", "begin": 3, "size": 0},
                   {"file": "dir.log", "begin": 0, "size": 1}, {"file": "t.log", "begin": 5, "size": 100}]
        data = page_data(report_html.render(self.doc(records), source_dir=str(tmp_path)))
        states = [node[7]["log"]["state"] for node in data["nodes"][1:]]
        assert states == ["missing", "unknown", "beyond", "missing", "invalid", "empty", "missing", "ok"]
        assert "top secret" not in json.dumps(data)
        last = data["nodes"][-1]
        assert last[7]["log"]["short"] == 100 - 5 and stretch_text(data, last) == ["line\n"]

    def test_without_a_source_folder_nothing_is_read(self, tmp_path):
        write_log(str(tmp_path / "t.log"), ["x"])
        data = page_data(report_html.render(self.doc([{"file": "t.log", "begin": 0, "size": 2}])))
        assert data["nodes"][1][7]["log"] == {"state": "missing"} and data["logfiles"] == []

    def test_failures_are_served_first_when_the_budget_runs_out(self, tmp_path, monkeypatch):
        write_log(str(tmp_path / "t.log"), ["a" * 99, "b" * 99, "c" * 99])
        monkeypatch.setattr(report_html, "LOG_BUDGET", 250)
        doc = self.doc([{"file": "t.log", "begin": 0, "size": 100}, {"file": "t.log", "begin": 100, "size": 100},
                        {"file": "t.log", "begin": 200, "size": 100}])
        doc["report"]["tasks"][0]["sections"][2]["result"] = {"value": "failed"}
        data = page_data(report_html.render(doc, source_dir=str(tmp_path)))
        assert [node[7]["log"]["state"] for node in data["nodes"][1:]] == ["ok", "budget", "ok"]
        assert sum(len(c[1]) for c in data["logfiles"][0]["chunks"]) == 200


class TestDocuments:
    def test_values_json_has_no_word_for_are_made_text(self):
        when = datetime.datetime(2026, 12, 8, 4, 40, 2, 361839)
        extra = {"when": when, "day": when.date(), "raw": b"\xffok", "nan": float("nan"), "tags": {"a"},
                 1: "int key", None: "none key", (1, 2): "tuple key", "pair": (1, 2)}
        data = page_data(report_html.render({"report": {"id": "j", "tasks": [{"id": "t", "extra": extra}]}}))
        assert data["nodes"][0][7]["extra"] == {
            "when": "2026-12-08 04:40:02.361839", "day": "2026-12-08", "raw": "\ufffdok", "nan": "nan",
            "tags": ["a"], "1": "int key", "null": "none key", "(1, 2)": "tuple key", "pair": [1, 2]}

    def test_both_roads_of_script_json_agree(self):
        value = {"a": [1, 2.5, None, True, "x<y"], 1: {2.5: datetime.date(2026, 1, 2)}, "s": {"z"}, "b": b"q"}
        fast = report_html.script_json(value)
        assert fast == report_html.script_json(dict(value, n=float("inf"))).replace(',"n":"inf"', "")
        assert json.loads(fast) == report_html.plain(value)

    def test_yaml_aliases_that_loop_back_end(self):
        document = yaml.safe_load("""
        report:
          id: job
          tasks:
          - &task
            id: t
            extra: &extra {self: *extra}
            sections: [*task]
        """)
        data = page_data(report_html.render(document))
        assert [row[2] for row in data["nodes"]] == ["t", "<node repeated from elsewhere in the report>"]
        assert data["nodes"][0][7]["extra"] == {"self": "<repeats itself>"}

    def test_not_a_report_is_refused(self):
        for document in (None, [], "text", {"version": "3.2"}):
            with pytest.raises(ValueError):
                report_html.render(document)

    def test_write_makes_one_utf8_file(self, tmp_path):
        out = tmp_path / "page.html"
        report_html.write({"report": {"id": "\u00e9", "tasks": []}}, str(out))
        assert out.read_bytes().decode("utf-8") == report_html.render({"report": {"id": "\u00e9", "tasks": []}})


# Module-level: pytest 9 deprecates a class-scoped fixture written as a method.
@pytest.fixture(scope="module")
def job(tmp_path_factory):
    out = tmp_path_factory.mktemp("job")
    document = run_main_job(out, "--tasks", "2", "--sections", "3")
    return out, document


class TestMainJob:

    def test_yaml_and_json_give_the_same_tree(self, job):
        out, document = job
        from_json = page_data(report_html.render(document, source_dir=str(out)))
        with open(str(out / "results.yaml")) as stream:
            from_yaml = page_data(report_html.render(yaml.safe_load(stream), source_dir=str(out)))
        # YAML keeps two decimals of a float and trims the line ends of multi-line
        # text, so run times and descriptions may differ; the rest may not.
        def strip(data):
            rows = [row[:5] + [row[6] and "\n".join(line.rstrip() for line in row[6].split("\n"))] + row[7:]
                    for row in data["nodes"]]
            header = [field for field in data["header"] if field[1] != "runtime"]
            return rows, header, data["logfiles"]

        assert strip(from_yaml) == strip(from_json)

    def test_every_node_and_every_failure_reason_is_carried(self, job):
        out, document = job
        data = page_data(report_html.render(document, source_dir=str(out)))

        def walk(nodes):
            for node in nodes:
                yield node
                yield from walk(node.get("sections") or [])

        stored = list(walk(document["report"]["tasks"]))
        assert [row[2] for row in data["nodes"]] == [node["id"] for node in stored]
        failed = [row for row in data["nodes"] if row[4] >= 0 and data["results"][row[4]] == "failed"]
        assert failed and all(row[7]["reason"].startswith("interface eth") for row in failed)
        for row, node in zip(data["nodes"], stored):
            if node.get("logs") and node["logs"]["size"] == 0:
                assert row[7]["log"] == {"state": "empty"}
            elif node.get("logs"):
                begin, size = node["logs"]["begin"], node["logs"]["size"]
                raw = (out / node["logs"]["file"]).read_bytes()[begin:begin + size]
                assert "".join(stretch_text(data, row)) == raw.decode()

    def test_the_page_is_smaller_than_the_json_report(self, job):
        out, document = job
        page = report_html.render(document, source_dir=str(out))
        assets = sum(len(report_html.asset(name)) for name in ("report.html", "report.css", "report.js"))
        logs = sum(os.path.getsize(str(path)) for path in out.glob("*.log"))
        assert len(page.encode()) - assets - logs < len((out / "results.json").read_bytes())
