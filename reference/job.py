"""The job the benchmarks time and the whole-job tests write, built alike with
the native module or its reference."""

HEALTH = [{"result": "passed"}, {"result": "failed"}]


def build_job(mod, num_tasks, num_sections, logfile, results=None):
    """One job as the framework reports it: start, fill, stop every node.
    `results` makes a result from its name (by default mod.TestResult)."""
    if results is None:
        results = mod.TestResult
    rs = mod.RunSet(id="job", seq_num=1)
    rs.start(job_type="regression", cli="kovra run job.py", host="h1", user="u", archivefile="a.zip")
    job_plugin = rs.add_plugin(id="job_plugin", seq_num=0)
    job_plugin.start(logfile=logfile, description="job level")
    for t in range(num_tasks):
        task = rs.add_task(id="task%d" % t, seq_num=t)
        task.start(logfile=logfile, testscript="script%d.py" % t, parameters={"t": t}, custom="x")
        plugin = task.add_plugin(id="plugin", seq_num=0)
        plugin.start(logfile=logfile)
        plugin.stop()
        for s in range(num_sections):
            section = task.add_section(id="sec%d" % s, seq_num=s)
            section.start(logfile=logfile, testcase_type="TestCase", description="section %d" % s)
            for k in range(2):
                step = section.add_section(id="step%d" % k, seq_num=k)
                step.start(logfile=logfile)
                step.add_detail("detail %d" % k)
                step.update({"xref": {"file": "f.py", "line": k}, "note": [k]})
                step.stop(result=results("passed" if k else "passx"), health=HEALTH)
            section.stop(result=mod.Passed if s % 5 else results("failed"))
        task.stop()
    job_plugin.stop(logfile=logfile)
    rs.stop(num_tasks=num_tasks + 1)
    return rs
