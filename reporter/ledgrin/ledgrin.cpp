// The class Ledgrin: the driver that writes the two result files, and the handlers
// that copy each level of a report into the legacy report library's objects.
#include "reporter/ledgrin/ledgrin.h"

#include <datetime.h>

namespace ledgrin {
namespace {

// ---- what every handler does ---------------------------------------------------

// Optional attributes count only when true; their value is then read afresh.
bool present(handle node, handle name) { return py::truthy(py::getattr(node, name, Py_None)); }

object cut_to_seconds(handle time) {
    // An exact datetime's replace cannot be overridden: make the same value without
    // the keyword parsing that dominates the handlers' own time.
    PyObject* t = time.ptr();
    if (PyDateTime_CheckExact(t))
        return py::take(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t), PyDateTime_DATE_GET_HOUR(t),
            PyDateTime_DATE_GET_MINUTE(t), PyDateTime_DATE_GET_SECOND(t), 0, PyDateTime_DATE_GET_TZINFO(t),
            PyDateTime_DATE_GET_FOLD(t), PyDateTimeAPI->DateTimeType));
    return py::call_keywords(py::getattr(time, n::replace), 0, state->microsecond_keyword, state->zero);
}

// Start and stop copied, and the run time in whole seconds when both are known.
void copy_times(handle target, handle node) {
    py::setattr(target, n::starttime, py::getattr(node, n::starttime));
    py::setattr(target, n::stoptime, py::getattr(node, n::stoptime));
    if (!py::truthy(py::getattr(target, n::starttime)) || !py::truthy(py::getattr(target, n::stoptime)))
        return;
    object stop = cut_to_seconds(py::getattr(target, n::stoptime));
    object start = cut_to_seconds(py::getattr(target, n::starttime));
    py::setattr(target, n::runtime, py::subtract(stop, start));
}

// The mapping read with an empty dict as default, fetched anew for every entry.
object mapping_entry(handle node, handle mapping, handle key, handle fallback) {
    PyObject* value = PyObject_GetAttr(node.ptr(), mapping.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            py::throw_error();
        PyErr_Clear();
        return py::borrow(fallback);
    }
    object found = py::steal(value);
    return py::call_method(found, n::get, key, fallback);
}

// Each entry is an assignment of its own: the value first, then the legacy
// object's path (`xref()` or `logfile()`), read anew for each.
template <typename Path>
void copy_xref(Path xref, handle node) {
    object file = mapping_entry(node, n::xref, n::file, state->empty);
    py::setattr(xref(), n::file, file);
    object line = mapping_entry(node, n::xref, n::line, state->minus_one);
    py::setattr(xref(), n::line, line);
}

template <typename Path>
void copy_logs(Path logfile, handle node) {
    object file = mapping_entry(node, n::logs, n::file, state->empty);
    py::setattr(logfile(), n::filepath, file);
    object begin = mapping_entry(node, n::logs, n::begin, state->minus_one);
    py::setitem(py::getattr(logfile(), n::attrs), n::begin, begin);
    object size = mapping_entry(node, n::logs, n::size, state->minus_one);
    py::setitem(py::getattr(logfile(), n::attrs), n::size, size);
}

// The legacy object's attribute `name`, as a path for the copies above.
auto member(handle target, handle name) {
    return [target, name] { return py::getattr(target, name); };
}

// Its initinfo's attribute `name`, likewise.
auto info_member(handle target, handle name) {
    return [target, name] { return py::getattr(py::getattr(target, n::initinfo), name); };
}

// Identity, not truth: a false-valued result is still a result.
void copy_result(handle target, handle node) {
    if (py::getattr(node, n::result, Py_None).is_none())
        return;
    object value = py::str(py::getattr(node, n::result));
    py::setattr(py::getattr(target, n::result), n::value, value);
}

// runinfo.set_args(diag=escape(detail)): the callee, then escape, then the detail.
void copy_details(handle target, handle details) {
    for (object& detail : py::iterate(details)) {
        object set_args = py::getattr(py::getattr(target, n::runinfo), n::set_args);
        Escape escape;
        object diag = escape(detail);
        py::call_keywords(set_args, 0, state->diag_keyword, diag);
    }
}

// extra.update(escape_data(data)), `data` given by `read` once the callee is known.
template <typename Read>
void update_extra(handle target, Read read) {
    object update = py::getattr(py::getattr(target, n::extra), n::update);
    EscapeData escape_data;
    object data = read();
    py::call(update, escape_data(data));
}

void copy_extra(handle target, handle node) {
    update_extra(target, [&] { return py::getattr(node, n::extra); });
}

// A section's id, or "<id> <name>" for a processor section. The id is read
// before the type, and again for the processor form.
object section_id(handle section) {
    object plain_id = py::getattr(section, n::id);
    object type = py::getattr(section, n::type);
    if (!py::truthy(py::call_method(type, n::endswith, state->processor)))
        return plain_id;
    object id = py::take(PyObject_Format(py::getattr(section, n::id).ptr(), state->empty.ptr()));
    object name = py::take(PyObject_Format(py::getattr(section, n::name).ptr(), state->empty.ptr()));
    object parts = py::tuple(id, state->blank, name);
    return py::take(PyUnicode_Join(state->empty.ptr(), parts.ptr()));
}

// One legacy step per child section, each filled by self._handle_step.
void copy_steps(handle self, handle target, handle node) {
    for (object& child : py::iterate(py::getattr(node, n::sections))) {
        object id = section_id(child);
        // add_teststep(id=id, name=escape(child.name)): the callee before its arguments.
        object add_teststep = py::getattr(target, n::add_teststep);
        Escape escape;
        object name = escape(py::getattr(child, n::name));
        object step = py::call_keywords(add_teststep, 0, state->teststep_keywords, id, name);
        py::call_method(self, n::_handle_step, step, child);
    }
}

// The description, escaped, as item "description" of the legacy extra mapping.
void description_into_extra(handle target, handle node) {
    if (!present(node, n::description))
        return;
    Escape escape;
    object description = escape(py::getattr(node, n::description));
    py::setitem(py::getattr(target, n::extra), n::description, description);
}

// ---- Ledgrin -------------------------------------------------------------------

object init(handle self, handle logsdir, handle runset) {
    py::setattr(self, n::qoreport, py::call(global(n::QOReport)));
    py::setattr(self, n::logsdir, logsdir);
    py::setattr(self, n::_runset, runset);
    return py::none();
}

object path_in_logsdir(handle self, handle file_name) { return py::add(py::getattr(self, n::logsdir), file_name); }

// open(self.logsdir + file_name, mode), with `open` looked up before the path is built, as Python evaluates it.
object open_in_logsdir(handle self, handle file_name, handle mode) {
    object opener = global(n::open);
    object path = path_in_logsdir(self, file_name);
    return py::call(opener, path, mode);
}

// The fast road's text, or nothing where the round trip must run: a piece of it is not intact.
object render_natively(handle dom) {
    if (!state->xml_road.intact(global(n::ET), global(n::minidom)))
        return object();
    return state->xml_road.render(dom, "  ");
}

object serialise(handle dom) {
    return py::call_keywords(py::getattr(global(n::ET), n::tostring), 1, state->encoding_keyword, dom, state->utf_8);
}

object pretty_print(handle rough_string) {
    object reparsed = py::call_method(global(n::minidom), n::parseString, rough_string);
    return py::call_keywords(py::getattr(reparsed, n::toprettyxml), 0, state->indent_keyword, state->two_blanks);
}

void write_details(handle self, handle dom) {
    object report = render_natively(dom);
    object rough_string = report ? object() : serialise(dom);
    try {
        if (!report)
            report = pretty_print(rough_string);
        py::with(open_in_logsdir(self, n::details_file, state->write_text),
                 [&](handle stream) { py::call_method(stream, n::write, report); });
    } catch (const py::error_already_set&) {
        py::caught_error error;
        if (!error.matches(PyExc_Exception))
            error.raise_again();
        // Keep what the library rendered, so the broken text can be inspected.
        error.run([&] {
            if (!rough_string)
                rough_string = state->xml_road.compact(dom);
            py::with(open_in_logsdir(self, n::rough_file, state->write_bytes),
                     [&](handle stream) { py::call_method(stream, n::write, rough_string); });
        });
        error.raise_again();
    }
}

object sub_element(handle parent, handle tag) {
    return py::call(py::getattr(global(n::ET), n::SubElement), parent, tag);
}

object generate_xml(handle self, handle, handle) {
    // Python's order: a call's callee before its arguments, an assignment's value
    // before its target.
    object legacy_runset = py::call(global(n::RunSet));
    py::setattr(py::getattr(self, n::qoreport), n::runset, legacy_runset);
    object handle_runset = py::getattr(self, n::_handle_runset);
    object qots = py::getattr(py::getattr(self, n::qoreport), n::runset);
    py::call(handle_runset, qots, py::getattr(self, n::_runset));

    object dom = py::call_method(py::getattr(self, n::qoreport), n::generate_dom);
    write_details(self, dom);

    object ts = py::getattr(py::getattr(self, n::qoreport), n::runset);
    object element = py::getattr(global(n::ET), n::Element);
    object attributes = py::new_dict();
    object archive = py::getattr(ts, n::archivefile);
    py::setitem(attributes, state->archive_filename, py::truthy(archive) ? archive : state->empty);
    object kex_path = py::getattr(py::getattr(py::getattr(ts, n::initinfo), n::kex), n::path);
    py::setitem(attributes, state->kex_tree_path, py::truthy(kex_path) ? kex_path : state->empty);
    object root = py::call(element, state->job_summary, attributes);

    object job_name = py::getattr(py::getattr(ts, n::initinfo), n::name);
    py::setattr(sub_element(root, state->job_name), n::text, job_name);
    object image = py::getattr(py::getattr(ts, n::initinfo), n::image);
    py::setattr(sub_element(root, state->image_tag), n::text, image);
    py::call_method(py::getattr(ts, n::summary), n::generate_resultsonly_dom, root);
    for (object& name : py::iterate(state->summary_names))
        py::call_method(ts, n::generate_simple_elt_dom, root, name);
    for (object& name : py::iterate(state->initinfo_names))
        py::call_method(py::getattr(ts, n::initinfo), n::generate_simple_elt_dom, root, name);
    py::setattr(sub_element(root, state->debug_profile), n::text, state->zero_text);
    if (py::len(py::getattr(py::getattr(ts, n::initinfo), n::hosts)) > 0)
        py::call_method(py::getattr(py::getattr(ts, n::initinfo), n::hosts), n::generate_dom, root);
    else
        sub_element(root, state->host_tag);

    object report = render_natively(root);
    if (!report)
        report = pretty_print(serialise(root));
    object stream = open_in_logsdir(self, n::summary_file, state->write_text);
    py::call_method(stream, n::write, report);
    py::call_method(stream, n::close);
    return py::none();
}

// ---- job level -------------------------------------------------------------------

// runset.extra[key], looked up afresh for every use.
object extra_item(handle runset, handle key) { return py::getitem(py::getattr(runset, n::extra), key); }
bool extra_has(handle runset, handle key) { return py::contains(py::getattr(runset, n::extra), key); }

object vumb_item(handle runset, handle key) { return py::getitem(extra_item(runset, n::vumb), key); }
bool vumb_has(handle runset, handle key) { return py::contains(extra_item(runset, n::vumb), key); }

// The test-management arguments: the identity keys as they are, the rest under "post".
void copy_vumb(handle qots, handle runset) {
    object arguments = py::new_dict();
    for (PyObject* key : {n::dnsname, n::attributes})
        if (vumb_has(runset, key))
            py::setitem(arguments, key, vumb_item(runset, key));
    object post = py::new_dict();
    if (vumb_has(runset, n::status))
        py::setitem(post, n::status, vumb_item(runset, n::status));
    if (vumb_has(runset, n::cmd))
        py::setitem(post, n::cmd, vumb_item(runset, n::cmd));
    // A test of its own: "error" is copied with or without "cmd".
    if (vumb_has(runset, n::error))
        py::setitem(post, n::error, vumb_item(runset, n::error));
    if (PyDict_GET_SIZE(post.ptr()) > 0)
        py::setitem(arguments, n::post, post);
    object set_args = py::getattr(py::getattr(qots, n::vumb), n::set_args);
    py::call_kwargs(set_args, nullptr, 0, arguments);
}

// qots.initinfo.<name> = value, the value read first.
void set_info(handle qots, handle name, handle value) { py::setattr(py::getattr(qots, n::initinfo), name, value); }

object handle_runset(handle self, handle qots, handle runset) {
    copy_times(qots, runset);
    set_info(qots, n::jobid, py::getattr(runset, n::id));
    set_info(qots, n::name, py::getattr(runset, n::name));
    if (present(runset, n::archivefile))
        py::setattr(qots, n::archivefile, py::getattr(runset, n::archivefile));
    for (PyObject* key : {n::testbed, n::release, n::image})
        if (extra_has(runset, key))
            set_info(qots, key, extra_item(runset, key));
    for (PyObject* name : {n::submitter, n::user})
        if (present(runset, name))
            set_info(qots, name, py::getattr(runset, name));
    if (present(runset, n::host)) {
        object append = py::getattr(py::getattr(py::getattr(qots, n::initinfo), n::hosts), n::append);
        py::call(append, py::getattr(runset, n::host));
    }
    if (present(runset, n::cli)) {
        object cli = py::getattr(runset, n::cli);
        py::setattr(py::getattr(py::getattr(qots, n::initinfo), n::params), n::cli, cli);
    }
    if (present(runset, n::kovrapath)) {
        object path = py::getattr(runset, n::kovrapath);
        py::setattr(py::getattr(py::getattr(qots, n::initinfo), n::kex), n::path, path);
    }
    if (present(runset, n::kovraversion)) {
        object version = py::getattr(runset, n::kovraversion);
        py::setattr(py::getattr(py::getattr(qots, n::initinfo), n::kex), n::version, version);
    }
    object update = py::getattr(py::getattr(qots, n::summary), n::update);
    py::call(update, py::getattr(runset, n::summary));
    copy_details(qots, py::getattr(runset, n::details));
    if (extra_has(runset, n::vumb))
        copy_vumb(qots, runset);
    object handle_jobexecution = py::getattr(self, n::_handle_jobexecution);
    py::call(handle_jobexecution, py::getattr(qots, n::jobexecution), runset);
    return py::borrow(qots);
}

object handle_jobexecution(handle self, handle qojobexc, handle runset) {
    copy_times(qojobexc, runset);
    for (object& task : py::iterate(py::getattr(runset, n::tasks))) {
        object test_script = global(n::TestScript);
        object script = py::call(test_script, py::getattr(task, n::logfile, Py_None), Py_None);
        object add_testscript = py::getattr(qojobexc, n::add_testscript);
        py::call(add_testscript, script, py::getattr(task, n::id));
        py::call_method(self, n::_handle_testscript, script, task);
    }
    return py::borrow(qojobexc);
}

// ---- script, common section, test case -------------------------------------------

bool type_is(handle section, handle wanted) { return py::compare(py::getattr(section, n::type), wanted, Py_EQ); }

// The children below a script, a common section and a test case are each made
// and filled in one call, self._handle_<level>(<parent>.add_<child>(...), section):
// the handler is looked up before the child is made.

void add_common(handle self, handle qots, handle section, handle sectionid) {
    object handler = py::getattr(self, n::_handle_commonsection);
    object common = py::call_keywords(py::getattr(qots, n::add_testsection), 0, state->sectionid_keyword, sectionid);
    py::call(handler, common, section);
}

void add_testcase(handle self, handle qots, handle section) {
    object tcid = py::getattr(section, n::id);
    object logfilepath = state->empty;
    if (present(section, n::logs))
        logfilepath = py::call_method(py::getattr(section, n::logs), n::get, n::file, state->empty);
    object handler = py::getattr(self, n::_handle_testcase);
    object add = py::getattr(qots, n::add_testcase);
    py::call(handler, py::call_keywords(add, 0, state->testcase_keywords, tcid, logfilepath), section);
}

// qots.initinfo.script.<name> = os.path.<function>(task.testscript)
void copy_script_part(handle qots, handle task, handle name, handle function) {
    object split = py::getattr(py::getattr(global(n::os), n::path), function);
    object part = py::call(split, py::getattr(task, n::testscript));
    py::setattr(py::getattr(py::getattr(qots, n::initinfo), n::script), name, part);
}

object handle_testscript(handle self, handle qots, handle task) {
    copy_times(qots, task);
    if (present(task, n::parameters)) {
        Escape escape;
        object pargs = escape(py::str(py::getattr(task, n::parameters)));
        set_info(qots, n::pargs, pargs);
    }
    if (present(task, n::description)) {
        Escape escape;
        object description = escape(py::getattr(task, n::description));
        set_info(qots, n::description, description);
    }
    if (present(task, n::logfile)) {
        object logfile = py::getattr(task, n::logfile);
        py::setattr(py::getattr(py::getattr(qots, n::initinfo), n::logfile), n::filepath, logfile);
    }
    if (present(task, n::testscript)) {
        copy_script_part(qots, task, n::name, n::basename);
        copy_script_part(qots, task, n::path, n::dirname);
    }
    object update = py::getattr(py::getattr(qots, n::summary), n::update);
    py::call(update, py::getattr(task, n::summary));
    copy_details(qots, py::getattr(task, n::details));

    for (object& section : py::iterate(py::getattr(task, n::sections))) {
        if (type_is(section, state->common_setup))
            add_common(self, qots, section, state->common_setup_id);
        else if (type_is(section, state->common_cleanup))
            add_common(self, qots, section, state->common_cleanup_id);
        else  // anything else, plugins included, is a test case
            add_testcase(self, qots, section);
    }
    return py::borrow(qots);
}

object handle_commonsection(handle self, handle qocommsect, handle commonsection) {
    copy_times(qocommsect, commonsection);
    description_into_extra(qocommsect, commonsection);
    copy_xref(member(qocommsect, n::xref), commonsection);
    copy_logs(member(qocommsect, n::logfile), commonsection);
    copy_result(qocommsect, commonsection);
    copy_details(qocommsect, py::getattr(commonsection, n::details));
    copy_extra(qocommsect, commonsection);
    for (object& section : py::iterate(py::getattr(commonsection, n::sections))) {
        object handler = py::getattr(self, n::_handle_subsection);
        object add = py::getattr(qocommsect, n::add_commonsubsection);
        py::call(handler, py::call_keywords(add, 0, state->name_keyword, py::getattr(section, n::name)), section);
    }
    return py::borrow(qocommsect);
}

object handle_testcase(handle self, handle qotc, handle testcase) {
    copy_times(qotc, testcase);
    object id = py::getattr(testcase, n::id);
    py::setitem(py::getattr(py::getattr(py::getattr(qotc, n::initinfo), n::id), n::attrs), n::name, id);
    id = py::getattr(testcase, n::id);
    py::setattr(py::getattr(py::getattr(qotc, n::initinfo), n::id), n::idtypevalue, id);
    set_info(qotc, n::name, py::getattr(testcase, n::name));
    for (PyObject* field : {n::swversion, n::hwversion, n::fwversion, n::tstversion})
        set_info(qotc, field, state->none_text);
    if (present(testcase, n::description)) {
        Escape escape;
        object description = escape(py::getattr(testcase, n::description));
        set_info(qotc, n::description, description);
    }
    copy_xref(info_member(qotc, n::xref), testcase);
    copy_logs(info_member(qotc, n::logfile), testcase);
    copy_result(qotc, testcase);
    copy_details(qotc, py::getattr(testcase, n::details));
    copy_extra(qotc, testcase);
    for (object& section : py::iterate(py::getattr(testcase, n::sections))) {
        object sectionid = section_id(section);
        object handler = py::getattr(self, n::_handle_testsection);
        object add = py::getattr(qotc, n::add_testsection);
        py::call(handler, py::call_keywords(add, 0, state->sectionid_keyword, sectionid), section);
    }
    return py::borrow(qotc);
}

// ---- sub-section, test section, step ------------------------------------------------

object handle_subsection(handle self, handle qosubsect, handle subsection) {
    copy_times(qosubsect, subsection);
    object id = section_id(subsection);
    py::setitem(py::getattr(py::getattr(qosubsect, n::id), n::attrs), n::name, id);
    py::setattr(py::getattr(qosubsect, n::id), n::idtypevalue, id);
    // The sub-section's own name goes in as it is; only its steps' names are escaped.
    py::setattr(qosubsect, n::name, py::getattr(subsection, n::name));
    if (present(subsection, n::description)) {
        Escape escape;
        py::setattr(qosubsect, n::description, escape(py::getattr(subsection, n::description)));
    }
    copy_xref(member(qosubsect, n::xref), subsection);
    copy_logs(member(qosubsect, n::logfile), subsection);
    copy_result(qosubsect, subsection);
    copy_details(qosubsect, py::getattr(subsection, n::details));
    copy_extra(qosubsect, subsection);
    copy_steps(self, qosubsect, subsection);
    return py::borrow(qosubsect);
}

object handle_testsection(handle self, handle qotest, handle testsection) {
    copy_times(qotest, testsection);
    description_into_extra(qotest, testsection);
    copy_xref(member(qotest, n::xref), testsection);
    copy_logs(member(qotest, n::logfile), testsection);
    copy_result(qotest, testsection);
    copy_details(qotest, py::getattr(testsection, n::details));
    copy_extra(qotest, testsection);
    copy_steps(self, qotest, testsection);
    return py::borrow(qotest);
}

object handle_step(handle self, handle qostep, handle step) {
    copy_times(qostep, step);
    // A step's description is stored as it is, and always set.
    object description = present(step, n::description) ? py::getattr(step, n::description) : state->empty;
    py::setattr(qostep, n::description, description);
    copy_xref(member(qostep, n::xref), step);
    copy_logs(member(qostep, n::logfile), step);
    copy_result(qostep, step);
    copy_details(qostep, py::getattr(step, n::details));

    // A copy, so the report keeps its own "index" and "continue_".
    object extra = py::call_method(py::getattr(step, n::extra), n::copy);
    for (PyObject* key : {n::index, n::continue__}) {
        if (!py::contains(extra, key))
            continue;
        py::setattr(qostep, key, py::call_method(extra, n::pop, key));
    }
    update_extra(qostep, [&] { return extra; });
    copy_steps(self, qostep, step);
    return py::borrow(qostep);
}

}  // namespace

object define_ledgrin(handle base) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        py::throw_error();
    py::ClassBuilder cls(state->info, "Ledgrin", py::tuple(base));
    cls.method<init>("__init__", {{"self"}, {"logsdir"}, {"runset"}})
        .method<generate_xml>("generate_xml", {{"self"}, {"client"}, {"kwargs"}},
                              "\n        Generate the ResultsDetails.xml and ResultsSummary.xml files needed by\n"
                              "        many other services.\n        ")
        .method<handle_runset>("_handle_runset", {{"self"}, {"qots"}, {"runset"}},
                               "\n        Populate QOReport's RunSet with information from Reporter's\n"
                               "        RunSet.\n        ")
        .method<handle_jobexecution>("_handle_jobexecution", {{"self"}, {"qojobexc"}, {"runset"}},
                                     "\n        Populate an QOReport JobExecution with information from a Reporter\n"
                                     "        RunSet.\n        ")
        .method<handle_testscript>("_handle_testscript", {{"self"}, {"qots"}, {"task"}},
                                   "\n        Populate an QOReport TestScript with information from a Reporter\n"
                                   "        TestScript.\n        ")
        .method<handle_commonsection>("_handle_commonsection", {{"self"}, {"qocommsect"}, {"commonsection"}},
                                      "\n        Populate an QOReport TestSection representing a\n"
                                      "        CommonStartup/CommonCleanup with information from a Reporter Section.\n"
                                      "        ")
        .method<handle_testcase>("_handle_testcase", {{"self"}, {"qotc"}, {"testcase"}},
                                 "\n        Populate an QOReport TestResult representing a Testcase with\n"
                                 "        information from a Reporter Section.\n        ")
        .method<handle_subsection>("_handle_subsection", {{"self"}, {"qosubsect"}, {"subsection"}},
                                   "\n        Populate an QOReport CommonSubSection with information from a Reporter\n"
                                   "        Section.\n        ")
        .method<handle_testsection>("_handle_testsection", {{"self"}, {"qotest"}, {"testsection"}},
                                    "\n        Populate an QOReport TestSection representing a\n"
                                    "        test section with information from a Reporter Section.\n        ")
        .method<handle_step>("_handle_step", {{"self"}, {"qostep"}, {"step"}},
                             "\n        Populate an QOReport TestStep with information from a Reporter Section.\n"
                             "        ");
    return cls.create();
}

}  // namespace ledgrin
