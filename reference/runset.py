"""Plain-Python reference of the ``kovra.reporter.runset`` report model.

Same public names and behaviour as the native module; used as the baseline
of the benchmark and as the oracle of the differential test. Framework names
(``get_time`` and the rest) are module globals looked up at call time, so a
caller can swap them here as on the native module.
"""

import yaml
import json
import os.path
from datetime import datetime

from kovra.utils.utils import get_time
from kovra.utils.dicts import recursive_update
from kovra.results import ResultCounter, TestResult, Passed
from kovra.datastructures import AttrDict

VERSION = "3.2"
VALUE_IGNORE = [None, [], {}]
FLOAT_PRECISION = 2
YAML_MAP = "tag:yaml.org,2002:map"
YAML_STR = "tag:yaml.org,2002:str"
YAML_FLT = "tag:yaml.org,2002:float"

_HEALTH_SUMMARY_KEYS = ("passed", "passx", "failed", "errored", "aborted",
                        "blocked", "skipped", "total", "success_rate")


def _has_attr(obj, name):
    # Unlike builtin hasattr, every lookup failure means "absent".
    if not isinstance(name, str):
        raise TypeError("hasattr(): attribute name must be string")
    try:
        getattr(obj, name)
    except Exception:
        return False
    return True


def _reportable_pairs(node):
    """(name, value) pairs of the node's _ARG_ORDER, ignorable values left out."""
    pairs = []
    for name in node._ARG_ORDER:
        if getattr(node, name, None) in VALUE_IGNORE:
            continue
        pairs.append((name, getattr(node, name)))
    return pairs


def _unpack_error(exc):
    # Short pairs are reported in the native module's wording.
    text = str(exc)
    if not text.startswith("not enough values to unpack"):
        return exc
    got = int(text.rsplit(" ", 1)[1].rstrip(")"))
    return ValueError("need more than %d value%s to unpack" % (got, "" if got == 1 else "s"))


def _check_no_parent(kwargs):
    # Same wording the native keyword merge gives.
    if "parent" in kwargs:
        raise TypeError("function() got multiple values for keyword argument 'parent'")


class JSONDumper(json.JSONEncoder):
    def default(self, obj):
        if isinstance(obj, ReportObjectBase):
            data = dict(_reportable_pairs(obj))
        elif isinstance(obj, TestResult):
            data = {"value": obj.value}
            if obj.reason:
                data["reason"] = obj.reason
            if obj.data:
                data["data"] = obj.data
        elif isinstance(obj, ResultCounter):
            data = obj.data.copy()
            data["total"] = obj.total
            data["success_rate"] = obj.success_rate
        elif isinstance(obj, datetime):
            data = str(obj)
        elif isinstance(obj, Exception):
            data = repr(obj)
        else:
            data = None
        if data:
            return data
        return super().default(obj)


class YAMLDumper(yaml.SafeDumper):
    def increase_indent(self, flow=False, indentless=False):
        # Never indentless: sequences under a key get their own indent level.
        return super().increase_indent(flow, False)

    def ignore_aliases(self, data):
        return True


class ReportHeader:
    def __init__(self, report):
        self.data = {"version": VERSION, "report": report}

    def as_dict(self):
        return self.data


class ReportObjectBase:
    _ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "starttime",
                  "stoptime", "runtime", "details", "extra"]

    def __init__(self, id, seq_num, parent=None, type=None):
        self.type = type if type else self.__class__.__name__
        self.id = id
        self.seq_num = seq_num
        self._parent = parent
        self.name = id
        self.starttime = None
        self.stoptime = None
        self.runtime = None
        self.details = []
        self.extra = {}

    @property
    def fullid(self):
        parent = self._parent
        if not parent or isinstance(parent, RunSet):
            return self.id
        return str(parent.fullid) + "." + str(self.id)

    @property
    def idlist(self):
        parent = self._parent
        if not parent or isinstance(parent, RunSet):
            return [self.id]
        ids = parent.idlist
        ids.append(self.id)
        return ids

    def start(self, **kwargs):
        self.starttime = get_time()
        self.update(kwargs)

    def stop(self, **kwargs):
        if self.starttime is not None:
            self.stoptime = get_time()
            self.runtime = (self.stoptime - self.starttime).total_seconds()
        self.update(kwargs)
        self.roll_up()

    def update(self, data):
        extras = {}
        for pair in data.items():
            try:
                key, value = pair
            except ValueError as exc:
                raise _unpack_error(exc) from None
            if key in self._ARG_ORDER:
                current = getattr(self, key, None)
                if isinstance(current, list):
                    if isinstance(value, list):
                        current.extend(value)
                    else:
                        current.append(value)
                else:
                    setattr(self, key, value)
            else:
                extras[key] = value
        self.update_extra(extras)

    def update_extra(self, data, list_extend=True):
        recursive_update(self.extra, data, list_extend=list_extend)

    def add_detail(self, detail):
        self.details.append(detail)

    def roll_up(self):
        parent = self._parent
        if not parent or getattr(self, "result", None) is None:
            return
        try:
            parent_result = parent.result
        except Exception:
            return

        if parent_result is None:
            parent.result = self.result.clone()
        else:
            parent_result += self.result
            parent.result = parent_result

        if "health" in self.extra:
            for entry in self.extra["health"]:
                parsed = TestResult.from_str(entry["result"])
                if self.health_result is None:
                    self.health_result = parsed
                else:
                    self.health_result += parsed
                key = str(entry["result"]).lower()
                self.health_summary[key] += 1
                if parent.health_result is None:
                    parent.health_result = self.health_result.clone()
                else:
                    parent.health_result += self.health_result
                parent.health_summary[key] += 1
        else:
            if self.health_result is None:
                self.health_result = Passed
            elif parent.health_result is None:
                parent.health_result = self.health_result.clone()
            else:
                parent.health_result += self.health_result
            for key in _HEALTH_SUMMARY_KEYS:
                parent.health_summary[key] = self.health_summary[key]

        parent.roll_up()

    def to_dict(self):
        data = {}
        for name in self._ARG_ORDER:
            if _has_attr(self, name):
                data[name] = getattr(self, name)
        for name in ("tasks", "sections"):
            if name in data:
                data[name] = [child.id for child in data[name]]
        data["seq_num"] = self.seq_num
        if _has_attr(self, "logfile"):
            data["logfile"] = self.logfile
        return data

    @classmethod
    def to_yaml(cls, dumper, data):
        return dumper.represent_mapping(YAML_MAP, _reportable_pairs(data))

    def dump_yaml(self):
        return yaml.dump(ReportHeader(self).as_dict(), Dumper=YAMLDumper,
                         default_flow_style=False)

    def dump_json(self):
        return json.dumps(ReportHeader(self).as_dict(), cls=JSONDumper)


class RunSet(ReportObjectBase):
    _ARG_ORDER = ["job_type", "type", "id", "fullid", "idlist", "name",
                  "starttime", "stoptime", "runtime", "cli", "jobfile",
                  "jobfile_hash", "xref", "kovrapath", "kovraversion", "host",
                  "submitter", "user", "archivefile", "summary",
                  "pluginsummary", "details", "extra", "totaltasks", "tasks",
                  "health_result", "health_summary", "source_id"]

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.health_result = None
        self.health_summary = ResultCounter()
        self.totaltasks = 0
        self.tasks = []

    @property
    def testscripts(self):
        return self.tasks

    def stop(self, **kwargs):
        num_tasks = kwargs.pop("num_tasks", 0)
        super().stop(**kwargs)
        self.totaltasks = num_tasks
        if num_tasks > 0:
            num_run_tasks = sum(1 for child in self.tasks
                                if child.starttime and not isinstance(child, Plugin))
            self.summary.weight = num_run_tasks / num_tasks

    def roll_up(self):
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.health_summary = ResultCounter()
        for child in self.tasks:
            is_plugin = isinstance(child, Plugin)
            target = self.pluginsummary if is_plugin else self.summary
            if is_plugin and child.summary is None:
                # A plugin without a counter of its own counts once.
                target[str(child.result).lower()] += 1
            else:
                for result, count in child.summary.items():
                    target[result] += count
            if child.health_result is None:
                continue
            if self.health_result is None:
                self.health_result = child.health_result
            else:
                self.health_result += child.health_result
            for key in _HEALTH_SUMMARY_KEYS:
                self.health_summary[key] += child.health_summary[key]

    def add_plugin(self, **kwargs):
        _check_no_parent(kwargs)
        plugin = Plugin(parent=self, **kwargs)
        self.tasks.append(plugin)
        return plugin

    def add_task(self, **kwargs):
        _check_no_parent(kwargs)
        task = Task(parent=self, **kwargs)
        self.tasks.append(task)
        return task


class Task(ReportObjectBase):
    _ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "script_type",
                  "starttime", "stoptime", "runtime", "description", "logfile",
                  "testscript", "testscript_hash", "datafile", "datafile_hash",
                  "xref", "parameters", "summary", "pluginsummary", "details",
                  "extra", "sections", "health_result", "health_summary"]

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.logfile = None
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.health_result = None
        self.health_summary = ResultCounter()
        self.sections = []

    def stop(self, **kwargs):
        super().stop(**kwargs)
        if self.logfile:
            self.logfile = os.path.basename(self.logfile)

    def roll_up(self):
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.health_summary = ResultCounter()
        for sect in self.sections:
            if isinstance(sect, Plugin):
                if sect.summary is not None:
                    for result, count in sect.summary.items():
                        self.pluginsummary[result] += count
                else:
                    self.pluginsummary[str(sect.result).lower()] += 1
                continue
            if sect.result is not None:
                self.summary[str(sect.result).lower()] += 1
            if sect.health_result is None:
                continue
            if self.health_result is None:
                self.health_result = sect.health_result
            else:
                self.health_result += sect.health_result
            for key in _HEALTH_SUMMARY_KEYS:
                self.health_summary[key] += sect.health_summary[key]

    def add_plugin(self, **kwargs):
        _check_no_parent(kwargs)
        plugin = Plugin(parent=self, **kwargs)
        self.sections.append(plugin)
        return plugin

    def add_section(self, **kwargs):
        _check_no_parent(kwargs)
        section = Section(parent=self, **kwargs)
        self.sections.append(section)
        return section


class Plugin(ReportObjectBase):
    _ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "starttime",
                  "stoptime", "runtime", "description", "logfile", "logs",
                  "summary", "result", "details", "extra", "sections",
                  "health_result"]

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.sections = []
        self.result = None
        self.summary = None
        self.health_result = None
        self.health_summary = ResultCounter()
        self.logs = {}

    def start(self, **kwargs):
        super().start(**kwargs)
        if isinstance(self._parent, RunSet):
            self.summary = ResultCounter()
        if getattr(self, "logfile", None) and isinstance(self._parent, Task):
            self.logs["file"] = os.path.basename(self.logfile)
            self.logs["begin"] = os.path.getsize(self.logfile)

    def stop(self, **kwargs):
        new_logfile = kwargs.pop("logfile", None)
        super().stop(**kwargs)
        if getattr(self, "logfile", None):
            if new_logfile and new_logfile != self.logfile:
                # The log moved while the plugin ran: its growth is unknown.
                if self.logs:
                    self.logs = {"file": os.path.basename(new_logfile),
                                 "begin": 0, "size": -1}
                self.logfile = os.path.basename(new_logfile)
            else:
                if self.logs:
                    curr_size = os.path.getsize(self.logfile)
                    self.logs["size"] = curr_size - self.logs["begin"]
                self.logfile = os.path.basename(self.logfile)
        if self.result is None:
            self.result = Passed

    def roll_up(self):
        if self.sections:
            self.summary = ResultCounter()
        results = [sect.result for sect in self.sections if sect.result is not None]
        for result in results:
            self.summary[str(result).lower()] += 1

    def add_section(self, **kwargs):
        _check_no_parent(kwargs)
        section = Section(parent=self, **kwargs)
        self.sections.append(section)
        return section


class Section(ReportObjectBase):
    _ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "testcase_type",
                  "testcase_signature", "data_hash", "starttime", "stoptime",
                  "runtime", "description", "xref", "logs", "parameters",
                  "result", "details", "extra", "sections", "health_result",
                  "health_summary"]

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.result = None
        self.health_result = None
        self.health_summary = ResultCounter()
        self.sections = []
        self.logfile = None
        self.logs = {}

    def start(self, **kwargs):
        self.logfile = kwargs.pop("logfile", None)
        super().start(**kwargs)
        if self.logfile:
            self.logs["file"] = os.path.basename(self.logfile)
            self.logs["begin"] = os.path.getsize(self.logfile)

    def stop(self, **kwargs):
        # A logfile keyword here is plain data: it lands in extra.
        super().stop(**kwargs)
        if self.logfile and self.logs:
            curr_size = os.path.getsize(self.logfile)
            self.logs["size"] = curr_size - self.logs["begin"]

    def add_section(self, **kwargs):
        _check_no_parent(kwargs)
        section = Section(parent=self, **kwargs)
        self.sections.append(section)
        return section


def str_representer(dumper, data):
    if "\n" in data:
        text = "\n".join(line.rstrip() for line in data.split("\n"))
        return dumper.represent_scalar(YAML_STR, text, style="|")
    return dumper.represent_scalar(YAML_STR, data)


def float_representer(dumper, data):
    return dumper.represent_scalar(YAML_FLT, str(round(data, FLOAT_PRECISION)))


def type_representer(dumper, data):
    return dumper.represent_scalar(YAML_STR, repr(data))


def unknown_representer(dumper, data):
    return dumper.represent_mapping(YAML_MAP, {"type": type(data), "repr": repr(data)})


def ResultCounter_representer(dumper, data):
    pairs = list(data.items())
    pairs.append(("total", data.total))
    pairs.append(("success_rate", data.success_rate))
    return dumper.represent_mapping(YAML_MAP, pairs)


def TestResult_representer(dumper, data):
    mapping = {"value": data.value}
    if data.reason:
        mapping["reason"] = data.reason
    if data.data:
        mapping["data"] = data.data
    return dumper.represent_mapping(YAML_MAP, mapping)


def AttrDict_representer(dumper, data):
    return dumper.represent_mapping(YAML_MAP, data)


YAMLDumper.add_representer(str, str_representer)
YAMLDumper.add_representer(float, float_representer)
YAMLDumper.add_representer(type, type_representer)
YAMLDumper.add_representer(None, unknown_representer)
YAMLDumper.add_representer(ResultCounter, ResultCounter_representer)
YAMLDumper.add_representer(TestResult, TestResult_representer)
YAMLDumper.add_representer(AttrDict, AttrDict_representer)
YAMLDumper.add_representer(RunSet, RunSet.to_yaml)
YAMLDumper.add_representer(Task, Task.to_yaml)
YAMLDumper.add_representer(Section, Section.to_yaml)
YAMLDumper.add_representer(Plugin, Plugin.to_yaml)
