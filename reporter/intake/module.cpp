// kovra.reporter._intake: the reporter server's rows of an upload's nodes, made in
// one native pass over the parsed report, its shape and nesting checked on the way.
#include "native/module.h"
#include "reporter/intake/road.h"
#include "formats/json/encoder.h"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace intake_module {

using py::handle;
using py::object;

struct State {
    py::ModuleInfo info;
    object fromisoformat;  // datetime.datetime.fromisoformat
    object isoformat, blank, microseconds, zero_microseconds;
    object id, type, result, value, starttime, stoptime, runtime, tasks, sections, summary, health_result;
    object name, health, start, stop, counts;   // the job's fields
    object worst_first;                         // kovra.reporter.format's result names, worst first
    std::vector<std::string> worst_first_keys;  // the same as JSON keys
    object largest;                             // 1e300: a runtime this large or larger is stored as none
    std::unique_ptr<intake_road::Road> road;    // empty until captured, or where json.loads is not its kind
};
State* state = nullptr;

// The refusal the caller passed (its Refused class), raised with a one-line message.
[[noreturn]] void refuse(handle refused, object message, bool too_large = false) {
    object error = too_large ? py::call(refused, message, py::integer(413)) : py::call(refused, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    py::throw_error();
}

// A value for a text column: text without NUL or lone surrogates, at most `limit`
// characters; none for anything but a str.
object text_column(PyObject* value, Py_ssize_t limit) {
    if (!value || !PyUnicode_CheckExact(value))
        return py::none();
    object text = py::borrow(value);
    bool plain = PyUnicode_IS_ASCII(value);
    if (plain) {
        const unsigned char* chars = PyUnicode_1BYTE_DATA(value);
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(value); i < n && plain; ++i)
            plain = chars[i] >= 0x20 && chars[i] < 0x7f;
    }
    if (!plain) {
        object raw = py::take(PyUnicode_AsEncodedString(value, "utf-8", "replace"));
        object decoded = py::take(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()),
                                                       "strict"));
        static PyObject *nul, *mark;
        if (!nul) {
            nul = py::take(PyUnicode_FromOrdinal(0)).release();
            mark = py::take(PyUnicode_FromOrdinal(0xfffd)).release();
        }
        text = py::take(PyUnicode_Replace(decoded.ptr(), nul, mark, -1));
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) <= limit)
        return text;
    return py::take(PyUnicode_Substring(text.ptr(), 0, limit));
}

object result_column(PyObject* value) {
    if (value && PyDict_Check(value)) {
        value = PyDict_GetItemWithError(value, state->value.ptr());
        if (!value && PyErr_Occurred())
            py::throw_error();
    }
    return text_column(value, 40);
}

int digits(const char* text, int at, int count) {
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The datetime of the form the framework writes, "YYYY-MM-DD HH:MM:SS[.ffffff]", made
// straight from its fields; empty for any other text (or an impossible date), which
// fromisoformat then reads or refuses. For that form both give the same datetime.
object framework_time(PyObject* value) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(value);
    if (!PyUnicode_IS_ASCII(value) || (size != 19 && size != 26))
        return object();
    const char* t = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
    if (t[4] != '-' || t[7] != '-' || t[10] != ' ' || t[13] != ':' || t[16] != ':' || (size == 26 && t[19] != '.'))
        return object();
    int year = digits(t, 0, 4), month = digits(t, 5, 2), day = digits(t, 8, 2), hour = digits(t, 11, 2),
        minute = digits(t, 14, 2), second = digits(t, 17, 2), micro = size == 26 ? digits(t, 20, 6) : 0;
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || micro < 0)
        return object();
    PyObject* made = PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, micro, Py_None,
                                                             PyDateTimeAPI->DateTimeType);
    if (!made) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            py::throw_error();
        PyErr_Clear();
    }
    return py::steal(made);
}

// A time column: the datetime fromisoformat reads, none for text it refuses or for
// anything but text. With `as_text`, the text SQLite keeps of it instead, which is
// isoformat(" ", "microseconds"): the framework's own form is that text already.
object time_column(PyObject* value, bool as_text) {
    if (!value || !PyUnicode_Check(value))
        return py::none();
    object made = PyUnicode_CheckExact(value) ? framework_time(value) : object();
    if (made && as_text)
        return PyUnicode_GET_LENGTH(value) == 26 ? py::borrow(value)
                                                 : py::take(PyUnicode_Concat(value, state->zero_microseconds.ptr()));
    if (!made) {
        made = py::steal(PyObject_CallOneArg(state->fromisoformat.ptr(), value));
        if (!made) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError))
                py::throw_error();
            PyErr_Clear();
            return py::none();
        }
    }
    if (as_text)
        return py::call_method(made, state->isoformat, state->blank, state->microseconds);
    return made;
}

object number_column(PyObject* value) {
    if (!value || PyBool_Check(value))
        return py::none();
    if (PyFloat_Check(value)) {
        double number = PyFloat_AS_DOUBLE(value);
        return std::fabs(number) < 1e300 ? py::take(PyNumber_Float(value)) : py::none();
    }
    if (!PyLong_Check(value))
        return py::none();
    object size = py::take(PyNumber_Absolute(value));
    if (!py::compare(size, state->largest, Py_LT))
        return py::none();
    return py::take(PyNumber_Float(value));
}

// True when the container `value` (counted as one level) nests deeper than `limit`.
bool too_deep(PyObject* value, long limit) {
    if (limit < 1)
        return true;
    if (PyDict_Check(value)) {
        Py_ssize_t pos = 0;
        PyObject *key, *child;
        while (PyDict_Next(value, &pos, &key, &child))
            if ((PyDict_Check(child) || PyList_Check(child)) && too_deep(child, limit - 1))
                return true;
    } else {
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(value); i < n; ++i) {
            PyObject* child = PyList_GET_ITEM(value, i);
            if ((PyDict_Check(child) || PyList_Check(child)) && too_deep(child, limit - 1))
                return true;
        }
    }
    return false;
}

// The text as stored: markup characters (only ever inside strings) as escapes, so
// that no stored text reads as HTML anywhere. `text` is the encoder's ASCII.
object unmarked(object text) {
    const char* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr()));
    Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    // Most texts have none: three library scans are quicker than one loop testing each byte.
    if (!std::memchr(chars, '<', size_t(size)) && !std::memchr(chars, '>', size_t(size)) &&
        !std::memchr(chars, '&', size_t(size)))
        return text;
    Py_ssize_t marks = 0;
    for (Py_ssize_t i = 0; i < size; ++i)
        marks += chars[i] == '<' || chars[i] == '>' || chars[i] == '&';
    object made = py::take(PyUnicode_New(size + 5 * marks, 127));
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(made.ptr()));
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = chars[i];
        if (c == '<' || c == '>' || c == '&') {
            std::memcpy(out, c == '<' ? "\\u003c" : c == '>' ? "\\u003e" : "\\u0026", 6);
            out += 6;
        } else {
            *out++ = c;
        }
    }
    return made;
}

object ascii_text(const std::string& text) {
    object made = py::take(PyUnicode_New(Py_ssize_t(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(made.ptr()), text.data(), text.size());
    return made;
}

// Each child's step in its path: its id (as compact JSON), or {"id":ID,"position":N} where the id
// alone cannot tell it from an earlier sibling with the same id, or is an object, which could be
// taken for such a step. Siblings may repeat ids (a test case run twice): each keeps its own row.
template <class Texts, class IsObject>
void path_steps(const Texts& id_texts, IsObject is_object, std::vector<std::string>& steps) {
    steps.clear();
    // Made afresh for each node: clearing a set once grown for many siblings would cost its buckets.
    std::unordered_set<std::string_view> first;
    for (size_t i = 0; i < id_texts.size(); ++i) {
        std::string_view text(id_texts[i]);
        if (!is_object(i) && first.insert(text).second) {
            steps.emplace_back(text);
            continue;
        }
        std::string step = "{\"id\":";
        step.append(text).append(",\"position\":").append(std::to_string(i)) += '}';
        steps.push_back(std::move(step));
    }
}

struct Pending {
    object node;
    std::string path;
    object parent;  // the parent's path, None for the run set
    Py_ssize_t position, depth;
};

// The arguments flatten and rows_from_text share: the node and depth limits, and
// whether times are kept as text.
struct Limits {
    Limits(handle max_nodes_arg, handle max_depth_arg, handle time_text) : as_text(py::truthy(time_text)) {
        max_nodes = PyLong_AsSsize_t(max_nodes_arg.ptr());
        if (max_nodes == -1 && PyErr_Occurred())
            py::throw_error();
        max_depth = PyLong_AsLong(max_depth_arg.ptr());
        if (max_depth == -1 && PyErr_Occurred())
            py::throw_error();
    }
    bool as_text;
    Py_ssize_t max_nodes;
    long max_depth;
};

// The JSON encoder's settings for stored text: compact, and no cycle to look for in parsed JSON.
formats::JsonOptions compact_json() {
    formats::JsonOptions options;
    options.check_circular = false;
    options.item_separator = ",";
    options.key_separator = ":";
    return options;
}

// What the server stores of a report, as rows (path, parent, position, depth, type, result,
// start, stop, runtime, data, children), the run set first, then depth first in stored order.
// The report's dicts are the caller's own: each node's child lists become lists of ids.
object flatten(handle report, handle max_nodes_arg, handle max_depth_arg, handle refused, handle time_text) {
    Limits limits(max_nodes_arg, max_depth_arg, time_text);
    const Py_ssize_t max_nodes = limits.max_nodes;
    const long max_depth = limits.max_depth;
    const bool as_text = limits.as_text;
    if (!PyDict_CheckExact(report.ptr()))
        py::raise(PyExc_TypeError, "the report must be a dict");

    formats::JsonEncoder encoder(compact_json());

    object rows = py::new_list();
    std::vector<Pending> stack;
    stack.push_back({py::borrow(report), "[]", py::none(), 0, 0});
    std::vector<object> children, ids;
    while (!stack.empty()) {
        Pending item = std::move(stack.back());
        stack.pop_back();
        PyObject* node = item.node.ptr();
        if (PyList_GET_SIZE(rows.ptr()) >= max_nodes)
            refuse(refused, py::take(PyUnicode_FromFormat("the report has more than %zd nodes", max_nodes)), true);
        // The document's levels: {"report": {"tasks": [{"sections": [ ... two per step down;
        // `room` is how many the node's own values may take.
        long room = max_depth - 2 - 2 * long(item.depth);
        if (room < 0)
            refuse(refused, py::take(PyUnicode_FromFormat("the report is nested deeper than %ld levels", max_depth)));
        object path = ascii_text(item.path);
        if (!py::check(PyDict_Contains(node, state->id.ptr())))
            refuse(refused, py::take(PyUnicode_FromFormat("%U: the node has no id", path.ptr())));
        children.clear();
        ids.clear();
        for (PyObject* key : {state->tasks.ptr(), state->sections.ptr()}) {
            PyObject* value = PyDict_GetItemWithError(node, key);
            if (!value && PyErr_Occurred())
                py::throw_error();
            if (!value || value == Py_None)
                continue;
            if (!PyList_CheckExact(value))
                refuse(refused, py::take(PyUnicode_FromFormat("%U: %R is not a list", path.ptr(), key)));
            object held = py::borrow(value);
            Py_ssize_t count = PyList_GET_SIZE(value);
            object key_ids = py::new_list(count);
            for (Py_ssize_t index = 0; index < count; ++index) {
                PyObject* child = PyList_GET_ITEM(value, index);
                PyObject* child_id = PyDict_CheckExact(child) ? PyDict_GetItemWithError(child, state->id.ptr())
                                                              : nullptr;
                if (!child_id) {
                    if (PyErr_Occurred())
                        py::throw_error();
                    refuse(refused, py::take(PyUnicode_FromFormat("%U: %U[%zd] is not a report node with an id",
                                                                  path.ptr(), key, index)));
                }
                Py_INCREF(child_id);
                PyList_SET_ITEM(key_ids.ptr(), index, child_id);
                children.push_back(py::borrow(child));
                ids.push_back(py::borrow(child_id));
            }
            py::check(PyDict_SetItem(node, key, key_ids.ptr()));
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(node, &pos, &key, &value)) {
            if (!PyDict_Check(value) && !PyList_Check(value))
                continue;
            if (room < 1 || too_deep(value, room))
                refuse(refused,
                       py::take(PyUnicode_FromFormat("the report is nested deeper than %ld levels", max_depth)));
        }
        std::string child_list = "[";
        std::vector<std::string> id_texts;
        id_texts.reserve(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            object text = encoder.encode(ids[i]);
            id_texts.emplace_back(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
                                  size_t(PyUnicode_GET_LENGTH(text.ptr())));
            if (i)
                child_list += ',';
            child_list += id_texts.back();
        }
        child_list += ']';
        std::vector<std::string> steps;
        path_steps(
            id_texts, [&](size_t i) { return PyDict_Check(ids[i].ptr()) != 0; }, steps);
        auto get = [node](handle name) {
            PyObject* found = PyDict_GetItemWithError(node, name.ptr());
            if (!found && PyErr_Occurred())
                py::throw_error();
            return found;
        };
        object row = py::tuple(path, item.parent, py::take(PyLong_FromSsize_t(item.position)),
                               py::take(PyLong_FromSsize_t(item.depth)), text_column(get(state->type), 200),
                               result_column(get(state->result)), time_column(get(state->starttime), as_text),
                               time_column(get(state->stoptime), as_text), number_column(get(state->runtime)),
                               unmarked(encoder.encode(item.node)), unmarked(ascii_text(child_list)));
        py::check(PyList_Append(rows.ptr(), row.ptr()));
        std::string prefix = item.path.substr(0, item.path.size() - 1);
        if (item.depth)
            prefix += ',';
        for (size_t index = children.size(); index-- > 0;)
            stack.push_back({std::move(children[index]), prefix + steps[index] + "]", path, Py_ssize_t(index),
                             item.depth + 1});
    }
    return rows;
}

// The job's row beside its nodes': {"name", "result", "health", "start", "stop", "runtime",
// "counts"}. The name is `name` (the sender's), else the run set's id as text, else the id's JSON;
// a run set without a result of its own has the worst its summary counts.
object job_row(handle name, object id, object id_json, object result, object health, object start, object stop,
               object runtime, object counts_json) {
    object shown = text_column(name.ptr(), 1000);
    if (shown.is_none() || PyUnicode_GET_LENGTH(shown.ptr()) == 0)
        shown = text_column(id.ptr(), 1000);
    if (shown.is_none() || PyUnicode_GET_LENGTH(shown.ptr()) == 0)
        shown = text_column(id_json.ptr(), 1000);
    object job = py::new_dict();
    for (auto [key, value] : {std::pair{&state->name, &shown},
                              {&state->result, &result},
                              {&state->health, &health},
                              {&state->start, &start},
                              {&state->stop, &stop},
                              {&state->runtime, &runtime},
                              {&state->counts, &counts_json}})
        py::check(PyDict_SetItem(job.ptr(), key->ptr(), value->ptr()));
    return job;
}

// The job's fields of a parsed report (the generic road's).
object job_fields(handle report, handle name) {
    if (!PyDict_Check(report.ptr()))
        py::raise(PyExc_TypeError, "the report must be a dict");
    auto get = [&report](const object& key) {
        PyObject* found = PyDict_GetItemWithError(report.ptr(), key.ptr());
        if (!found && PyErr_Occurred())
            py::throw_error();
        return found;
    };
    // The summary's counts: whole numbers (not bools) under text names.
    object counts = py::new_dict();
    PyObject* summary = get(state->summary);
    if (summary && PyDict_Check(summary)) {
        object held = py::borrow(summary);
        Py_ssize_t pos = 0;
        PyObject *key, *count;
        while (PyDict_Next(summary, &pos, &key, &count))
            if (PyUnicode_Check(key) && PyLong_Check(count) && !PyBool_Check(count))
                py::check(PyDict_SetItem(counts.ptr(), key, count));
    }
    object result = result_column(get(state->result));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(state->worst_first.ptr()); result.is_none() && i < n; ++i) {
        PyObject* candidate = PyTuple_GET_ITEM(state->worst_first.ptr(), i);
        PyObject* count = PyDict_GetItemWithError(counts.ptr(), candidate);
        if (!count && PyErr_Occurred())
            py::throw_error();
        if (count && py::truthy(count))
            result = py::borrow(candidate);
    }
    formats::JsonEncoder encoder(compact_json());
    PyObject* id = get(state->id);
    object id_json = id ? unmarked(encoder.encode(id)) : py::text("null");
    return job_row(name, py::borrow(id ? id : Py_None), id_json, result, result_column(get(state->health_result)),
                   time_column(get(state->starttime), false), time_column(get(state->stoptime), false),
                   number_column(get(state->runtime)), unmarked(encoder.encode(counts)));
}

// The same fields read from the fast road's scan of the text.
object job_fields_of(const char* text, const intake_road::Scan& scan, handle name) {
    const intake_road::Node& runset = scan.nodes[0];
    // Integer tokens in the writer's form are what json.dumps writes of them, and so are the keys.
    std::string counts = "{";
    for (const auto& [key, count] : scan.counts) {
        if (counts.size() > 1)
            counts += ',';
        counts.append(text + key.begin, key.end - key.begin) += ':';
        counts.append(text + count.begin, count.end - count.begin);
    }
    counts += '}';
    object result = text_column(intake_road::value_of(text, runset.result).ptr(), 40);
    for (size_t i = 0; result.is_none() && i < state->worst_first_keys.size(); ++i) {
        for (const auto& [key, count] : scan.counts) {
            bool named = std::string_view(text + key.begin, key.end - key.begin) == state->worst_first_keys[i];
            if (named && !(count.end - count.begin == 1 && text[count.begin] == '0'))
                result = py::borrow(PyTuple_GET_ITEM(state->worst_first.ptr(), Py_ssize_t(i)));
        }
    }
    std::string_view id_json(scan.compact.data() + runset.id.begin, runset.id.end - runset.id.begin);
    return job_row(name, intake_road::value_of(text, scan.id), unmarked(ascii_text(std::string(id_json))), result,
                   text_column(intake_road::value_of(text, scan.health).ptr(), 40),
                   time_column(intake_road::value_of(text, runset.start).ptr(), false),
                   time_column(intake_road::value_of(text, runset.stop).ptr(), false),
                   number_column(intake_road::value_of(text, runset.runtime).ptr()), unmarked(ascii_text(counts)));
}

// The most levels the fast road reads: well within what json.loads reads on any
// interpreter before it gives up, whatever the recursion limit.
constexpr long road_levels = 200;

// The rows flatten makes of the report in `data` (the upload's bytes, unpacked),
// read straight from the text, and the job's fields job_fields gives; None where the text is not wholly in the form the
// road takes, the pieces the generic road reads are not the captured ones, or the
// generic road would refuse it (which it then does itself).
object rows_from_text(handle data, handle max_nodes_arg, handle max_depth_arg, handle time_text, handle name) {
    if (!state->road || !state->road->intact() || !PyBytes_CheckExact(data.ptr()))
        return py::none();
    Limits limits(max_nodes_arg, max_depth_arg, time_text);
    const Py_ssize_t max_nodes = limits.max_nodes;
    const long max_depth = limits.max_depth;
    const bool as_text = limits.as_text;
    const char* text = PyBytes_AS_STRING(data.ptr());
    intake_road::Scan scan;
    if (!intake_road::scan(text, size_t(PyBytes_GET_SIZE(data.ptr())), std::min(max_depth, road_levels), scan))
        return py::none();
    const std::string& out = scan.compact;
    const std::vector<intake_road::Node>& nodes = scan.nodes;
    auto id_of = [&](uint32_t child) {
        const intake_road::Span& id = nodes[child].id;
        return std::string_view(out.data() + id.begin, id.end - id.begin);
    };
    auto append_ids = [&](std::string& into, uint32_t child) {
        for (bool more = false; child != intake_road::none; child = nodes[child].next, more = true) {
            if (more)
                into += ',';
            into += id_of(child);
        }
    };

    struct Next {
        uint32_t node;
        std::string path;
        object parent;
        Py_ssize_t position, depth;
    };
    object rows = py::new_list();
    std::vector<Next> stack;
    stack.push_back({0, "[]", py::none(), 0, 0});
    std::string own, child_list;
    std::vector<uint32_t> below;
    std::vector<std::string_view> below_ids;
    std::vector<std::string> steps;
    while (!stack.empty()) {
        Next item = std::move(stack.back());
        stack.pop_back();
        if (PyList_GET_SIZE(rows.ptr()) >= max_nodes)
            return py::none();
        const intake_road::Node& node = nodes[item.node];
        object path = ascii_text(item.path);
        below.clear();
        child_list = "[";
        for (int list : {0, 1}) {
            for (uint32_t child = node.first[list]; child != intake_road::none; child = nodes[child].next) {
                if (!below.empty())
                    child_list += ',';
                child_list += id_of(child);
                below.push_back(child);
            }
        }
        child_list += ']';
        // The node's own text, each child list its ids, wherever it stands among the keys.
        own.clear();
        size_t at = node.text.begin;
        int first = node.has_list[0] && node.has_list[1] && node.lists[1].begin < node.lists[0].begin ? 1 : 0;
        for (int list : {first, 1 - first}) {
            if (!node.has_list[list])
                continue;
            own.append(out, at, node.lists[list].begin - at);
            own += '[';
            append_ids(own, node.first[list]);
            own += ']';
            at = node.lists[list].end;
        }
        own.append(out, at, node.text.end - at);
        object row = py::tuple(path, item.parent, py::take(PyLong_FromSsize_t(item.position)),
                               py::take(PyLong_FromSsize_t(item.depth)),
                               text_column(intake_road::value_of(text, node.type).ptr(), 200),
                               text_column(intake_road::value_of(text, node.result).ptr(), 40),
                               time_column(intake_road::value_of(text, node.start).ptr(), as_text),
                               time_column(intake_road::value_of(text, node.stop).ptr(), as_text),
                               number_column(intake_road::value_of(text, node.runtime).ptr()),
                               unmarked(ascii_text(own)), unmarked(ascii_text(child_list)));
        // Text, numbers, None and datetimes only: no cycle can pass through the row, and the
        // collector, which would find that out itself, need not walk it first.
        PyObject_GC_UnTrack(row.ptr());
        py::check(PyList_Append(rows.ptr(), row.ptr()));
        std::string prefix = item.path.substr(0, item.path.size() - 1);
        if (item.depth)
            prefix += ',';
        below_ids.clear();
        for (uint32_t child : below)
            below_ids.push_back(id_of(child));
        path_steps(
            below_ids, [&](size_t i) { return below_ids[i].front() == '{'; }, steps);
        for (size_t index = below.size(); index-- > 0;) {
            std::string child_path;
            child_path.reserve(prefix.size() + steps[index].size() + 1);
            child_path.append(prefix).append(steps[index]) += ']';
            stack.push_back({below[index], std::move(child_path), path, Py_ssize_t(index), item.depth + 1});
        }
    }
    return py::tuple(rows, job_fields_of(text, scan, name));
}

// Captures what the generic road reads, `module` being the server's intake module.
object capture_road(handle module) {
    state->road = intake_road::Road::capture(module, state->info.globals);
    return py::borrow(state->road ? Py_True : Py_False);
}

const char* rows_from_text_doc =
    "rows_from_text(data, max_nodes, max_depth, time_text=False, name=None)\n--\n\n"
    "(rows, job): the rows flatten makes of the report in `data` (bytes) and the job's\n"
    "fields job_fields gives, read straight from the text, or None where the text is not\n"
    "in the form of json.dumps, would be refused, or what json.loads and the intake\n"
    "module read has changed since capture_road.";

const char* capture_road_doc =
    "capture_road(module)\n--\n\n"
    "Records the pieces the generic road reads (json.loads; in `module`, the server's\n"
    "intake module, the names it reads them by); True when the road can be taken.";

const char* job_fields_doc =
    "job_fields(report, name=None)\n--\n\n"
    "The job's row of a parsed report: name (`name`, else the run set's id as text, else\n"
    "its JSON), result (its own, else the worst its summary counts), health, start, stop,\n"
    "runtime, and counts (the summary's whole-number counts as JSON), each by the rules\n"
    "of the node rows' columns.";

const char* flatten_doc =
    "flatten(report, max_nodes, max_depth, refused, time_text=False)\n--\n\n"
    "The rows of the report's nodes (path, parent, position, depth, type, result, start,\n"
    "stop, runtime, data, children), the run set first and then depth first, each node's\n"
    "children as a list of their ids (in `report` itself too); a repeated or object id\n"
    "stands in its path as {\"id\": ID, \"position\": N}. Raises refused(message)\n"
    "for a node without an id, a child list that is not one of nodes with ids, or values\n"
    "nested deeper than max_depth levels, and refused(message, 413) past max_nodes.\n"
    "Times are datetimes, or with `time_text` the text isoformat(' ', 'microseconds') gives.";

struct Module {
    static constexpr const char* short_name = "_intake";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter._intake", "kovra/reporter/_intake");
        object datetime = py::import_from("datetime", "datetime", state->info.globals);
        state->fromisoformat = py::getattr(datetime, py::text("fromisoformat"));
        state->id = py::text("id");
        state->type = py::text("type");
        state->result = py::text("result");
        state->value = py::text("value");
        state->starttime = py::text("starttime");
        state->stoptime = py::text("stoptime");
        state->runtime = py::text("runtime");
        state->tasks = py::text("tasks");
        state->sections = py::text("sections");
        state->summary = py::text("summary");
        state->health_result = py::text("health_result");
        state->name = py::text("name");
        state->health = py::text("health");
        state->start = py::text("start");
        state->stop = py::text("stop");
        state->counts = py::text("counts");
        state->worst_first = py::import_from("kovra.reporter.format", "WORST_FIRST", state->info.globals);
        if (!PyTuple_CheckExact(state->worst_first.ptr()))
            py::raise(PyExc_TypeError, "kovra.reporter.format.WORST_FIRST must be a tuple");
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(state->worst_first.ptr()); i < n; ++i) {
            Py_ssize_t size;
            const char* chars = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(state->worst_first.ptr(), i), &size);
            if (!chars)
                py::throw_error();
            state->worst_first_keys.push_back('"' + std::string(chars, size_t(size)) + '"');
        }
        state->largest = py::take(PyFloat_FromDouble(1e300));
        state->isoformat = py::text("isoformat");
        state->blank = py::text(" ");
        state->microseconds = py::text("microseconds");
        state->zero_microseconds = py::text(".000000");
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            py::throw_error();
        object function = py::function<flatten>(
            state->info, "flatten",
            {{"report"}, {"max_nodes"}, {"max_depth"}, {"refused"}, py::opt("time_text", Py_False)}, flatten_doc);
        py::check(PyModule_AddObjectRef(module.ptr(), "flatten", function.ptr()));
        function = py::function<rows_from_text>(
            state->info, "rows_from_text",
            {{"data"}, {"max_nodes"}, {"max_depth"}, py::opt("time_text", Py_False), py::opt("name", Py_None)},
            rows_from_text_doc);
        py::check(PyModule_AddObjectRef(module.ptr(), "rows_from_text", function.ptr()));
        function = py::function<job_fields>(state->info, "job_fields", {{"report"}, py::opt("name", Py_None)},
                                            job_fields_doc);
        py::check(PyModule_AddObjectRef(module.ptr(), "job_fields", function.ptr()));
        function = py::function<capture_road>(state->info, "capture_road", {{"module"}}, capture_road_doc);
        py::check(PyModule_AddObjectRef(module.ptr(), "capture_road", function.ptr()));
    }

    static void reset() { *state = State(); }
};

}  // namespace intake_module

PyMODINIT_FUNC PyInit__intake() { return py::ModuleDefinition<intake_module::Module>::init(); }
