// RunSet (one job), Task (one script run) and ReportHeader (the head of a stored report).
#include "reporter/runset/runset.h"

namespace runset {
namespace {

object new_counter() { return py::call(global(n::ResultCounter)); }

// The counters a task or run set rebuilds from its children on every roll-up.
void reset_counters(handle self) {
    py::setattr(self, n::summary, new_counter());
    py::setattr(self, n::pluginsummary, new_counter());
    py::setattr(self, n::health_summary, new_counter());
}

// target[result] += count for each pair of counter.items().
void add_counts(handle target, handle counter) {
    py::for_each_item(counter, n::items, [&](handle result, handle count) { py::item_add(target, result, count); });
}

// A plugin's share of its parent's plugin counts: its own counter, or, when it never
// got one, one count under the text of its result.
void count_plugin(handle target, handle plugin) {
    object summary = py::getattr(plugin, n::summary);
    if (!summary.is_none()) {
        add_counts(target, summary);
        return;
    }
    object key = py::call_method(py::str(py::getattr(plugin, n::result)), n::lower);
    py::item_add(target, key, state->one);
}

// A child's health joins the parent's: result combined, the nine counts added.
void merge_health(handle self, handle child) {
    object health = py::getattr(child, n::health_result);
    if (health.is_none())
        return;
    combine_into(self, n::health_result, health, false);
    object target = py::getattr(self, n::health_summary);
    object source = py::getattr(child, n::health_summary);
    for (object& key : py::iterate(state->health_summary_keys))
        py::item_add(target, key, py::getitem(source, key));
}

// ---- RunSet ------------------------------------------------------------------

object runset_init(handle self, kwargs kw) {
    py::call_super(state->RunSet, self, n::__init__, kw);
    py::setattr(self, n::summary, new_counter());
    py::setattr(self, n::pluginsummary, new_counter());
    py::setattr(self, n::health_result, Py_None);
    py::setattr(self, n::health_summary, new_counter());
    py::setattr(self, n::totaltasks, state->zero);
    py::setattr(self, n::tasks, py::new_list());
    return py::none();
}

object testscripts(handle self) { return py::getattr(self, n::tasks); }

object runset_stop(handle self, kwargs kw) {
    object num_tasks = py::pop(kw, n::num_tasks, state->zero);
    py::call_super(state->RunSet, self, n::stop, kw);
    py::setattr(self, n::totaltasks, num_tasks);
    if (!py::compare(num_tasks, state->zero, Py_GT))
        return py::none();
    object plugin = global(n::Plugin);
    long run = 0;
    for (object& child : py::iterate(py::getattr(self, n::tasks))) {
        if (py::truthy(py::getattr(child, n::starttime)) && !py::isinstance(child, plugin))
            ++run;
    }
    py::setattr(py::getattr(self, n::summary), n::weight, py::true_divide(py::integer(run), num_tasks));
    return py::none();
}

object runset_roll_up(handle self) {
    reset_counters(self);
    object plugin = global(n::Plugin);
    for (object& child : py::iterate(py::getattr(self, n::tasks))) {
        if (py::isinstance(child, plugin))
            count_plugin(py::getattr(self, n::pluginsummary), child);
        else
            add_counts(py::getattr(self, n::summary), py::getattr(child, n::summary));
        merge_health(self, child);
    }
    return py::none();
}

object add_plugin(handle self, kwargs kw) { return add_child(self, n::tasks, global(n::Plugin), std::move(kw)); }

object add_task(handle self, kwargs kw) { return add_child(self, n::tasks, global(n::Task), std::move(kw)); }

// ---- Task --------------------------------------------------------------------

object task_init(handle self, kwargs kw) {
    py::call_super(state->Task, self, n::__init__, kw);
    py::setattr(self, n::logfile, Py_None);
    py::setattr(self, n::summary, new_counter());
    py::setattr(self, n::pluginsummary, new_counter());
    py::setattr(self, n::health_result, Py_None);
    py::setattr(self, n::health_summary, new_counter());
    py::setattr(self, n::sections, py::new_list());
    return py::none();
}

object task_stop(handle self, kwargs kw) {
    py::call_super(state->Task, self, n::stop, kw);
    object logfile = py::getattr(self, n::logfile);
    if (py::truthy(logfile))
        py::setattr(self, n::logfile, basename(logfile));
    return py::none();
}

object task_roll_up(handle self) {
    reset_counters(self);
    object plugin = global(n::Plugin);
    for (object& child : py::iterate(py::getattr(self, n::sections))) {
        // Plugins count apart and take no part in the task's results or health.
        if (py::isinstance(child, plugin)) {
            count_plugin(py::getattr(self, n::pluginsummary), child);
            continue;
        }
        object result = py::getattr(child, n::result);
        if (!result.is_none())
            py::item_add(py::getattr(self, n::summary), py::call_method(py::str(result), n::lower), state->one);
        merge_health(self, child);
    }
    return py::none();
}

object task_add_plugin(handle self, kwargs kw) {
    return add_child(self, n::sections, global(n::Plugin), std::move(kw));
}

object task_add_section(handle self, kwargs kw) {
    return add_child(self, n::sections, global(n::Section), std::move(kw));
}

// ---- ReportHeader ------------------------------------------------------------

object header_init(handle self, handle report) {
    object data = py::new_dict();
    py::setitem(data, n::version, global(n::VERSION));
    py::setitem(data, n::report, report);
    py::setattr(self, n::data, data);
    return py::none();
}

object as_dict(handle self) { return py::getattr(self, n::data); }

}  // namespace

object define_report_header(handle base) {
    py::ClassBuilder cls(state->info, "ReportHeader", py::tuple(base));
    cls.method<header_init>("__init__", {{"self"}, {"report"}}).method<as_dict>("as_dict", {{"self"}});
    return cls.create();
}

object define_run_set() {
    py::ClassBuilder cls(state->info, "RunSet", py::tuple(state->ReportObjectBase));
    cls.add("_ARG_ORDER", py::list_of({"job_type",      "type",           "id",       "fullid",      "idlist",
                                       "name",          "starttime",      "stoptime", "runtime",     "cli",
                                       "jobfile",       "jobfile_hash",   "xref",     "kovrapath",   "kovraversion",
                                       "host",          "submitter",      "user",     "archivefile", "summary",
                                       "pluginsummary", "details",        "extra",    "totaltasks",  "tasks",
                                       "health_result", "health_summary", "source_id"}))
        .method<runset_init>("__init__", {{"self"}})
        .property<testscripts>("testscripts")
        .method<runset_stop>("stop", {{"self"}})
        .method<runset_roll_up>("roll_up", {{"self"}})
        .method<add_plugin>("add_plugin", {{"self"}})
        .method<add_task>("add_task", {{"self"}});
    return cls.create();
}

object define_task() {
    py::ClassBuilder cls(state->info, "Task", py::tuple(state->ReportObjectBase));
    cls.add("_ARG_ORDER", py::list_of({"type",        "id",         "fullid",          "idlist",        "name",
                                       "script_type", "starttime",  "stoptime",        "runtime",       "description",
                                       "logfile",     "testscript", "testscript_hash", "datafile",      "datafile_hash",
                                       "xref",        "parameters", "summary",         "pluginsummary", "details",
                                       "extra",       "sections",   "health_result",   "health_summary"}))
        .method<task_init>("__init__", {{"self"}})
        .method<task_stop>("stop", {{"self"}})
        .method<task_roll_up>("roll_up", {{"self"}})
        .method<task_add_plugin>("add_plugin", {{"self"}})
        .method<task_add_section>("add_section", {{"self"}});
    return cls.create();
}

}  // namespace runset
