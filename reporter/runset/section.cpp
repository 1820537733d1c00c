// Section (any section of a script run, nested to any depth) and Plugin (a plugin
// run under the run set or a task).
#include "reporter/runset/runset.h"

namespace runset {
namespace {

// ---- Section -----------------------------------------------------------------

object section_init(handle self, kwargs kw) {
    py::call_super(state->Section, self, n::__init__, kw);
    py::setattr(self, n::result, Py_None);
    py::setattr(self, n::health_result, Py_None);
    py::setattr(self, n::health_summary, py::call(global(n::ResultCounter)));
    py::setattr(self, n::sections, py::new_list());
    py::setattr(self, n::logfile, Py_None);
    py::setattr(self, n::logs, py::new_dict());
    return py::none();
}

object section_start(handle self, kwargs kw) {
    // A start without a log file clears the one of an earlier start.
    py::setattr(self, n::logfile, py::pop(kw, n::logfile, Py_None));
    py::call_super(state->Section, self, n::start, kw);
    object logfile = py::getattr(self, n::logfile);
    if (py::truthy(logfile))
        log_record_begin(py::getattr(self, n::logs), logfile);
    return py::none();
}

object section_stop(handle self, kwargs kw) {
    // A logfile keyword here is not the section's: it lands in extra.
    py::call_super(state->Section, self, n::stop, kw);
    object logfile = py::getattr(self, n::logfile);
    if (!py::truthy(logfile))
        return py::none();
    object logs = py::getattr(self, n::logs);
    if (py::truthy(logs))
        log_record_size(logs, logfile);
    return py::none();
}

object section_add_section(handle self, kwargs kw) {
    return add_child(self, n::sections, global(n::Section), std::move(kw));
}

// ---- Plugin ------------------------------------------------------------------

object plugin_init(handle self, kwargs kw) {
    py::call_super(state->Plugin, self, n::__init__, kw);
    py::setattr(self, n::sections, py::new_list());
    py::setattr(self, n::result, Py_None);
    py::setattr(self, n::summary, Py_None);
    py::setattr(self, n::health_result, Py_None);
    py::setattr(self, n::health_summary, py::call(global(n::ResultCounter)));
    py::setattr(self, n::logs, py::new_dict());
    return py::none();
}

object plugin_start(handle self, kwargs kw) {
    py::call_super(state->Plugin, self, n::start, kw);
    // Job-level plugins always carry a counter.
    if (py::isinstance(py::getattr(self, n::_parent), global(n::RunSet)))
        py::setattr(self, n::summary, py::call(global(n::ResultCounter)));
    // Only a plugin inside a task records a stretch of its log.
    object logfile = py::getattr(self, n::logfile, Py_None);
    if (py::truthy(logfile) && py::isinstance(py::getattr(self, n::_parent), global(n::Task)))
        log_record_begin(py::getattr(self, n::logs), logfile);
    return py::none();
}

object plugin_stop(handle self, kwargs kw) {
    object new_logfile = py::pop(kw, n::logfile, Py_None);
    py::call_super(state->Plugin, self, n::stop, kw);
    object logfile = py::getattr(self, n::logfile, Py_None);
    if (py::truthy(logfile)) {
        bool changed = py::truthy(new_logfile) && py::compare(new_logfile, logfile, Py_NE);
        if (changed) {
            // The stretch of the old log can no longer be measured.
            if (py::truthy(py::getattr(self, n::logs))) {
                object logs = py::new_dict();
                py::setitem(logs, n::file, basename(new_logfile));
                py::setitem(logs, n::begin, state->zero);
                py::setitem(logs, n::size, state->minus_one);
                py::setattr(self, n::logs, logs);
            }
            py::setattr(self, n::logfile, basename(new_logfile));
        } else {
            object logs = py::getattr(self, n::logs);
            if (py::truthy(logs))
                log_record_size(logs, logfile);
            py::setattr(self, n::logfile, basename(logfile));
        }
    }
    // A plugin that reported no result counts as passed.
    if (py::getattr(self, n::result).is_none())
        py::setattr(self, n::result, global(n::Passed));
    return py::none();
}

object plugin_roll_up(handle self) {
    object sections = py::getattr(self, n::sections);
    if (py::truthy(sections))
        py::setattr(self, n::summary, py::call(global(n::ResultCounter)));
    object results = py::new_list();
    for (object& child : py::iterate(sections)) {
        object result = py::getattr(child, n::result);
        if (!result.is_none())
            py::append(results, result);
    }
    for (object& result : py::iterate(results))
        py::item_add(py::getattr(self, n::summary), py::call_method(py::str(result), n::lower), state->one);
    return py::none();
}

object plugin_add_section(handle self, kwargs kw) {
    return add_child(self, n::sections, global(n::Section), std::move(kw));
}

}  // namespace

object define_plugin() {
    py::ClassBuilder cls(state->info, "Plugin", py::tuple(state->ReportObjectBase));
    cls.add("_ARG_ORDER",
            py::list_of({"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime", "description",
                         "logfile", "logs", "summary", "result", "details", "extra", "sections", "health_result"}))
        .method<plugin_init>("__init__", {{"self"}})
        .method<plugin_start>("start", {{"self"}})
        .method<plugin_stop>("stop", {{"self"}})
        .method<plugin_roll_up>("roll_up", {{"self"}})
        .method<plugin_add_section>("add_section", {{"self"}});
    return cls.create();
}

object define_section() {
    py::ClassBuilder cls(state->info, "Section", py::tuple(state->ReportObjectBase));
    cls.add("_ARG_ORDER",
            py::list_of(
                {"type",       "id",        "fullid",   "idlist",  "name",        "testcase_type", "testcase_signature",
                 "data_hash",  "starttime", "stoptime", "runtime", "description", "xref",          "logs",
                 "parameters", "result",    "details",  "extra",   "sections",    "health_result", "health_summary"}))
        .method<section_init>("__init__", {{"self"}})
        .method<section_start>("start", {{"self"}})
        .method<section_stop>("stop", {{"self"}})
        .method<section_add_section>("add_section", {{"self"}});
    return cls.create();
}

}  // namespace runset
