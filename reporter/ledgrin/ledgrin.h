// The XML report module: what its functions and handlers share.
#pragma once

#include "native/module.h"
#include "reporter/ledgrin/xml_road.h"

namespace ledgrin {

using py::handle;
using py::object;

// Interned names: attributes, keywords, keys, module globals and file names (see
// py::Names); `continue__` is the attribute `continue_`.
// clang-format off
#define LEDGRIN_NAMES(X)                                                                                     \
    X(os) X(re) X(ET) X(minidom) X(cfg) X(Passed) X(QOReport) X(RunSet) X(TestScript) X(ESCAPE_SEQUENCE)    \
    X(_escape_repl) X(escape) X(escape_data) X(Ledgrin) X(sub) X(group) X(items) X(path) X(basename)        \
    X(dirname) X(qoreport) X(logsdir) X(_runset) X(runset) X(generate_dom) X(tostring) X(encoding)          \
    X(parseString) X(toprettyxml) X(indent) X(open) X(write) X(close) X(__enter__) X(__exit__) X(Element)   \
    X(SubElement) X(text) X(archivefile) X(initinfo) X(kex) X(name) X(image) X(summary)                      \
    X(generate_resultsonly_dom) X(generate_simple_elt_dom) X(hosts) X(starttime) X(stoptime) X(runtime)     \
    X(replace) X(microsecond) X(id) X(jobid) X(extra) X(testbed) X(release) X(submitter) X(user) X(host)   \
    X(append) X(cli) X(params) X(kovrapath) X(kovraversion) X(version) X(update) X(details) X(runinfo)      \
    X(set_args) X(diag) X(vumb) X(dnsname) X(attributes) X(status) X(cmd) X(error) X(post) X(jobexecution) \
    X(tasks) X(logfile) X(add_testscript) X(parameters) X(pargs) X(description) X(filepath) X(testscript)  \
    X(script) X(sections) X(type) X(add_testsection) X(sectionid) X(add_testcase) X(tcid) X(logfilepath)    \
    X(logs) X(file) X(get) X(xref) X(line) X(attrs) X(begin) X(size) X(result) X(value) X(add_commonsubsection) \
    X(idtypevalue) X(swversion) X(hwversion) X(fwversion) X(tstversion) X(endswith) X(add_teststep)         \
    X(copy) X(pop) X(index) X(continue__) X(_handle_runset) X(_handle_jobexecution) X(_handle_testscript)  \
    X(_handle_commonsection) X(_handle_testcase) X(_handle_subsection) X(_handle_testsection)             \
    X(_handle_step) X(encode) X(decode) X(backslashreplace) X(compile) X(object_)                          \
    X(details_file, "/ResultsDetails.xml") X(rough_file, "/xml_rough_string")                             \
    X(summary_file, "/ResultsSummary.xml") X(ElementTree) X(_serialize_xml) X(_escape_cdata)                \
    X(_escape_attrib) X(_namespaces) X(_serialize) X(xml) X(Document) X(Text) X(_write_data) X(writexml)    \
    X(expatbuilder) X(ExpatBuilderNS) X(StringIO) X(probe) X(attrib) X(child) X(tail) X(empty)
// clang-format on

namespace n {
LEDGRIN_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

// Made once at start-up, never changed afterwards.
struct State {
    py::ModuleInfo info;
    // What the module itself defined: escape and escape_data take their native
    // fast paths only while the globals still name these.
    object pattern, escape_repl, escape, escape_data;
    object zero, empty, blank, minus_one, none_text, zero_text, processor, utf_8, two_blanks, write_text, write_bytes;
    object common_setup, common_cleanup, common_setup_id, common_cleanup_id;
    object job_summary, archive_filename, kex_tree_path, job_name, image_tag, debug_profile, host_tag;
    object summary_names, initinfo_names;  // tuples of the names the summary copies
    // kwnames tuples of the calls made with keywords
    object diag_keyword, microsecond_keyword, encoding_keyword, indent_keyword, sectionid_keyword, testcase_keywords,
        name_keyword, teststep_keywords;
    // The ET and minidom round trip's fast road (xml_road.h), taken while every piece of it is intact.
    XmlRoad xml_road;
    // Last, so that a reset drops them after all that was made with them.
    py::Names names, writer_names;
};

extern State* state;

// A module global, looked up at call time so callers may replace it.
inline object global(handle name) { return py::global(state->info, name); }

// escape(text) and escape_data(data) as the handlers call them: through the
// module globals of those names, natively while they are the module's own. The
// global is looked up when one is made, so make it before evaluating the
// argument: Python finds a callee before its arguments.
class Escape {
public:
    Escape() : function_(global(n::escape)) {}
    object operator()(handle text) const;

private:
    object function_;
};

class EscapeData {
public:
    EscapeData() : function_(global(n::escape_data)) {}
    object operator()(handle data) const;

private:
    object function_;
};

// Module-level functions, in definition order.
void define_functions(handle module);
object define_ledgrin(handle base);

}  // namespace ledgrin
