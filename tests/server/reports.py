"""Reports for the server's tests: the main job's, random trees, and a recording client wrapper."""
import importlib.util
import json
import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def main_job_module():
    spec = importlib.util.spec_from_file_location("kovra_main_job", os.path.join(REPO, "tools", "main_job.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main_job_runset(folder, tasks=3, sections=4):
    """A run set driven as the main job drives one, its task logs in `folder`."""
    from kovra.reporter import runset
    job_module = main_job_module()
    job = runset.RunSet(id="nightly", seq_num=0)
    job.start(job_type="regression", host="lab-host", release="1.0")
    for index in range(1, tasks + 1):
        job_module.run_task(job, index, sections, str(folder))
    job.stop(num_tasks=tasks + 1)
    return job


def big_document(tasks, sections, steps=0, payload=""):
    """A stored-report document of tasks * sections sections (each with `steps` steps), built as plain data."""
    def node(kind, node_id, fullid, children=None, key="sections"):
        made = {"type": kind, "id": node_id, "fullid": fullid, "name": node_id,
                "starttime": "2026-01-01 00:00:00.000001", "stoptime": "2026-01-01 00:00:01.000001",
                "runtime": 1.0, "result": {"value": "passed"}, "description": payload}
        if children is not None:
            made[key] = children
        return made

    task_nodes = []
    for t in range(tasks):
        sec_nodes = []
        for s in range(sections):
            step_nodes = [node("Step", "step%d" % k, "t%d.s%d.step%d" % (t, s, k)) for k in range(steps)]
            sec_nodes.append(node("Testcase", "s%d" % s, "t%d.s%d" % (t, s), step_nodes or None))
        task = node("Task", "t%d" % t, "t%d" % t, sec_nodes)
        task["logfile"] = "t%d.log" % t
        task_nodes.append(task)
    report = node("RunSet", "big", "big", task_nodes, key="tasks")
    report["summary"] = {"passed": tasks * sections, "total": tasks * sections, "success_rate": 100.0}
    return {"version": "3.2", "report": report}


class Recording:
    """Wraps a client; records each call and its answer, in order."""

    def __init__(self, client):
        self.client = client
        self.calls = []

    def get_runset(self):
        return self._record(("get_runset",), self.client.get_runset)

    def get_section(self, *, id_list):
        return self._record(("get_section", list(id_list)), lambda: self.client.get_section(id_list=id_list))

    def _record(self, call, action):
        try:
            answer = action()
        except KeyError:
            self.calls.append(call + ("KeyError",))
            raise
        self.calls.append(call + (json.dumps(answer, sort_keys=True),))
        return answer


def walk(client):
    """Every node through Explorer, depth first: (id path, the node's mapping, its child counts)."""
    from kovra.reporter.explorer import Explorer
    seen = []

    def visit(explorer):
        seen.append((list(explorer._id_list), dict(explorer._obj),
                     len(explorer.tasks) if "tasks" in explorer._obj else None,
                     len(explorer.sections) if "sections" in explorer._obj else None))
        for key in ("tasks", "sections"):
            if isinstance(explorer._obj.get(key), list):
                for child in getattr(explorer, key):
                    visit(child)

    visit(Explorer(client))
    return seen
