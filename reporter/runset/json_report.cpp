// dump_json's own road: the report's JSON text written straight from the nodes,
// without the dicts JSONDumper.default would build for them. It is taken only
// while every piece that json.dumps(document, cls=JSONDumper) runs is the one
// found at import; otherwise dump_json calls json.dumps as it always does.
#include "reporter/runset/runset.h"
#include "writers/json_encoder.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace runset {
namespace {

// A Python function as it was at import: what makes it behave as it does.
struct FunctionParts {
    object function, code, defaults, kwdefaults, kwdefaults_copy;
};

// Snapshots of the generic road, taken at import.
struct JsonRoad {
    object json_module, dumps, json_encoder;
    FunctionParts dumps_parts, init_parts, encode_parts, iterencode_parts;
    object encoder_dict, dumper_dict, dumper_mro;  // copies of the class namespaces
    object encoder_globals, encoder_globals_copy;  // json.encoder's globals
    object builtins, builtins_copy;                // the builtins json.encoder reads
};

JsonRoad* road = nullptr;

object copy_dict(handle dict) { return py::take(PyDict_Copy(dict.ptr())); }

// The same keys bound to the very same objects.
bool same_dict(handle dict, handle snapshot) {
    if (!dict || !PyDict_Check(dict.ptr()) || PyDict_GET_SIZE(dict.ptr()) != PyDict_GET_SIZE(snapshot.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(snapshot.ptr(), &pos, &key, &value)) {
        if (py::lookup(dict, key).ptr() != value)
            return false;
    }
    return true;
}

PyObject* type_dict(handle cls) { return reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict; }

[[maybe_unused]] FunctionParts function_parts(handle function) {
    if (!PyFunction_Check(function.ptr()))
        return {};
    PyObject* f = function.ptr();
    FunctionParts parts{py::borrow(f), py::borrow(PyFunction_GET_CODE(f)), py::borrow(PyFunction_GET_DEFAULTS(f)),
                        py::borrow(PyFunction_GET_KW_DEFAULTS(f)), object()};
    if (parts.kwdefaults)
        parts.kwdefaults_copy = copy_dict(parts.kwdefaults);
    return parts;
}

bool same_function(const FunctionParts& parts) {
    PyObject* f = parts.function.ptr();
    if (!f || PyFunction_GET_CODE(f) != parts.code.ptr() || PyFunction_GET_DEFAULTS(f) != parts.defaults.ptr() ||
        PyFunction_GET_KW_DEFAULTS(f) != parts.kwdefaults.ptr())
        return false;
    return !parts.kwdefaults || same_dict(parts.kwdefaults, parts.kwdefaults_copy);
}

bool plain_class(handle cls) { return Py_TYPE(cls.ptr()) == &PyType_Type; }

// JSONDumper.default's node case, written without its dict: the (name, value)
// pairs it would store, or the dict itself once a name is not a plain str (whose
// hashing and comparing could run code, as the dict's would).
struct NodeFields {
    std::vector<std::pair<object, object>> pairs;
    std::vector<Py_hash_t> hashes;
    uint64_t hash_bits = 0;  // one bit per hash seen: most names are new at a glance
    object dict;

    void add(handle name, handle value) {
        if (!dict && !PyUnicode_CheckExact(name.ptr())) {
            dict = py::new_dict();
            for (auto& [k, v] : pairs)
                py::setitem(dict, k, v);
            pairs.clear();
        }
        if (dict) {
            py::setitem(dict, name, value);
            return;
        }
        // A name met again keeps its first place and takes the new value, as in a dict.
        Py_hash_t hash = PyObject_Hash(name.ptr());
        if (hash == -1)
            py::throw_error();
        uint64_t bit = uint64_t(1) << (size_t(hash) % 64);
        bool maybe_seen = hash_bits & bit;
        hash_bits |= bit;
        for (size_t i = 0; maybe_seen && i < pairs.size(); ++i) {
            PyObject* k = pairs[i].first.ptr();
            if (k == name.ptr() || (hashes[i] == hash && PyUnicode_Compare(k, name.ptr()) == 0)) {
                pairs[i].second = py::borrow(value);
                return;
            }
        }
        pairs.emplace_back(py::borrow(name), py::borrow(value));
        hashes.push_back(hash);
    }

    bool empty() const { return dict ? PyDict_GET_SIZE(dict.ptr()) == 0 : pairs.empty(); }
};

class ReportEncoder : public writers::JsonEncoder {
protected:
    // JSONDumper.default for one value, with the nesting the generic road has: the
    // call of default one level down, what it returns one more, a dict it returns
    // two.
    void encode_other(handle obj) override {
        NodeFields fields;
        DefaultAnswer answer;
        object replacement;
        {
            py::recursion_guard call(" while calling a Python object");
            if (is_instance(obj, global(n::ReportObjectBase))) {
                fields.pairs.reserve(32);
                fields.hashes.reserve(32);
                for_each_reported(obj, [&](handle name, handle value) { fields.add(name, value); });
                if (fields.dict && !fields.empty())
                    replacement = fields.dict;
                else if (fields.empty())
                    replacement = refuse_value(obj);
            } else {
                json_default_answer(obj, answer);
                // Text and pairs are never empty, so never false.
                if (answer.kind == DefaultAnswer::data_) {
                    if (answer.data && py::truthy(answer.data))
                        replacement = std::move(answer.data);
                    else
                        replacement = refuse_value(obj);
                }
            }
        }
        if (replacement) {
            encode_replacement(obj, replacement);
            return;
        }
        // The dict default would return, written in place: the notes the json
        // package adds to an error leaving one of its entries, then the value.
        py::c_recursion_guard returned(" while encoding a JSON object");
        if (answer.kind == DefaultAnswer::text_) {
            encode_ascii(answer.text, answer.text_size);
            return;
        }
        try {
            py::c_recursion_guard mapping(" while encoding a JSON object");
            begin_object();
            bool first = true;
            for (auto& [name, value] : answer.kind == DefaultAnswer::pairs_ ? answer.pairs : fields.pairs) {
                object_key(name, first);
                first = false;
                try {
                    encode_value(value);
                } catch (const py::error_already_set&) {
                    note_dict_entry(name);
                    throw;
                }
            }
            end_object();
        } catch (const py::error_already_set&) {
            note_object(obj);
            throw;
        }
    }

private:
    // super().default(obj) of the JSONDumper that json.dumps would have made.
    object refuse_value(handle obj) {
        if (!dumper_)
            dumper_ = py::call(state->JSONDumper);
        return py::call_super(state->JSONDumper, dumper_, n::default_, handle(), obj);
    }

    // note_entry's text for the exact dict default would have returned.
    static void note_dict_entry(handle key) {
        py::compat::format_error_note("when serializing dict item %R", key.ptr());
    }

    object dumper_;
};

}  // namespace

void capture_json_road() {
    delete road;
    road = nullptr;
    auto* snapshot = new JsonRoad;
    try {
        static PyObject *dumps_name, *init_name, *encode_name, *iterencode_name, *c_make_encoder_name;
        snapshot->json_module = global(n::json);
        snapshot->dumps = py::getattr(snapshot->json_module, py::interned(dumps_name, "dumps"));
        handle dumper = state->JSONDumper;
        PyObject* mro = reinterpret_cast<PyTypeObject*>(dumper.ptr())->tp_mro;
        if (PyTuple_GET_SIZE(mro) != 3) {
            delete snapshot;
            return;
        }
        snapshot->json_encoder = py::borrow(PyTuple_GET_ITEM(mro, 1));
        snapshot->dumper_mro = py::borrow(mro);
        handle encoder_dict = type_dict(snapshot->json_encoder);
        snapshot->dumps_parts = function_parts(snapshot->dumps);
        snapshot->init_parts = function_parts(py::lookup(encoder_dict, py::interned(init_name, "__init__")));
        snapshot->encode_parts = function_parts(py::lookup(encoder_dict, py::interned(encode_name, "encode")));
        snapshot->iterencode_parts =
            function_parts(py::lookup(encoder_dict, py::interned(iterencode_name, "iterencode")));
        snapshot->encoder_dict = copy_dict(encoder_dict);
        snapshot->dumper_dict = copy_dict(type_dict(dumper));
        if (!snapshot->dumps_parts.function || !snapshot->init_parts.function || !snapshot->encode_parts.function ||
            !snapshot->iterencode_parts.function) {
            delete snapshot;
            return;
        }
        snapshot->encoder_globals = py::borrow(PyFunction_GET_GLOBALS(snapshot->iterencode_parts.function.ptr()));
        snapshot->encoder_globals_copy = copy_dict(snapshot->encoder_globals);
        // Without the C encoder, json.dumps takes the Python one, whose errors differ.
        object c_make_encoder =
            py::lookup(snapshot->encoder_globals, py::interned(c_make_encoder_name, "c_make_encoder"));
        object builtins = py::lookup(snapshot->encoder_globals, py::text("__builtins__"));
        if (builtins && PyModule_Check(builtins.ptr()))
            builtins = py::borrow(PyModule_GetDict(builtins.ptr()));
        if (!c_make_encoder || c_make_encoder.is_none() || !builtins || !PyDict_Check(builtins.ptr())) {
            delete snapshot;
            return;
        }
        snapshot->builtins = builtins;
        snapshot->builtins_copy = py::new_dict();
        for (const char* name : {"isinstance", "list", "tuple", "float", "str", "repr"}) {
            object key = py::text(name);
            object value = py::lookup(builtins, key);
            if (value)
                py::setitem(snapshot->builtins_copy, key, value);
        }
    } catch (const py::error_already_set&) {
        delete snapshot;
        throw;
    }
    road = snapshot;
}

void drop_json_road() {
    delete road;
    road = nullptr;
}

bool json_road_open(handle json, handle dumps, handle dumper) {
    if (!road || json.ptr() != road->json_module.ptr() || dumps.ptr() != road->dumps.ptr() ||
        dumper.ptr() != state->JSONDumper.ptr())
        return false;
    handle encoder = road->json_encoder;
    if (!plain_class(dumper) || !plain_class(encoder) ||
        reinterpret_cast<PyTypeObject*>(dumper.ptr())->tp_mro != road->dumper_mro.ptr())
        return false;
    if (!same_dict(type_dict(dumper), road->dumper_dict) || !same_dict(type_dict(encoder), road->encoder_dict))
        return false;
    if (!same_function(road->dumps_parts) || !same_function(road->init_parts) ||
        !same_function(road->encode_parts) || !same_function(road->iterencode_parts))
        return false;
    if (!same_dict(road->encoder_globals, road->encoder_globals_copy))
        return false;
    // Only the names json.encoder reads must still be the builtins they were.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(road->builtins_copy.ptr(), &pos, &key, &value)) {
        if (py::lookup(road->builtins, key).ptr() != value)
            return false;
    }
    return true;
}

object write_report_json(handle document) {
    // json.dumps, encode and iterencode are Python frames that count against the
    // recursion limit here before the encoder starts.
    py::recursion_guard dumps(""), encode(""), iterencode("");
    // So does the call of the C encoder object from iterencode (from 3.12 against
    // the C limit only).
    py::c_recursion_guard encoder_call(" while calling a Python object");
    ReportEncoder encoder;
    return encoder.encode(document);
}

}  // namespace runset
