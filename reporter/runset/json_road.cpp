// dump_json's fast road: the report's JSON text written straight from the nodes,
// without the dicts JSONDumper.default would build for them.
#include "reporter/runset/roads.h"
#include "formats/json/encoder.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace runset {
namespace {

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

class ReportEncoder : public formats::JsonEncoder {
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

std::unique_ptr<JsonRoad> JsonRoad::capture() {
    auto road = std::unique_ptr<JsonRoad>(new JsonRoad);
    py::Snapshot& pieces = road->snapshot_;
    handle globals = state->info.globals;
    road->json_module_ = global(n::json);
    road->dumps_ = pieces.attribute(road->json_module_, n::dumps);
    PyObject* mro = reinterpret_cast<PyTypeObject*>(state->JSONDumper.ptr())->tp_mro;
    if (!PyFunction_Check(road->dumps_.ptr()) || PyTuple_GET_SIZE(mro) != 3)
        return nullptr;
    // json's package and encoder module whole (their functions and classes with
    // them), JSONDumper and the builtins their code reads.
    object encoder_module = py::getattr(road->json_module_, n::encoder);
    pieces.module(road->json_module_);
    pieces.module(encoder_module);
    road->encoder_module_ = encoder_module;
    pieces.class_(state->JSONDumper);
    pieces.class_(PyTuple_GET_ITEM(mro, 1));
    pieces.builtins_read(PyModule_GetDict(py::import_module("builtins", globals).ptr()));
    // Without the C encoder, json.dumps takes the Python one, whose errors differ.
    object c_make_encoder = py::lookup(PyModule_GetDict(encoder_module.ptr()), n::c_make_encoder);
    if (!c_make_encoder || c_make_encoder.is_none())
        return nullptr;
    return road;
}

bool JsonRoad::intact(handle json, handle dumps, handle dumper) const {
    return json.ptr() == json_module_.ptr() && dumps.ptr() == dumps_.ptr() && dumper.ptr() == state->JSONDumper.ptr() &&
           snapshot_.intact();
}

namespace {

// A name as the json.encoder module's code reads it now: its globals, then builtins.
object global_as_read(handle module, const char* text) {
    object name = py::text(text);
    object value = py::lookup(PyModule_GetDict(module.ptr()), name);
    if (!value)
        value = py::lookup(PyModule_GetDict(py::import_module("builtins", state->info.globals).ptr()), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set{};
    }
    return value;
}

}  // namespace

object JsonRoad::write(handle document) const {
    // json.dumps, encode and iterencode are Python frames that count against the
    // recursion limit here before the encoder starts.
    py::recursion_guard dumps(""), encode("");
    object text;
    {
        py::recursion_guard iterencode("");
        // So does the call of the C encoder object from iterencode (from 3.12 against
        // the C limit only).
        py::c_recursion_guard encoder_call(" while calling a Python object");
        ReportEncoder encoder;
        text = encoder.encode(document);
    }
    if (snapshot_.intact())
        return text;
    // A callback changed what encode's last lines read:
    //     if not isinstance(chunks, (list, tuple)): chunks = list(chunks)
    //     return ''.join(chunks)
    // run as they read now.
    handle encoder_module = encoder_module_;
    object chunks = py::take(py::compat::c_encoder_chunks(text.ptr()));
    object isinstance = global_as_read(encoder_module, "isinstance");
    object list = global_as_read(encoder_module, "list");
    object shapes = py::tuple(list, global_as_read(encoder_module, "tuple"));
    if (!py::truthy(py::call(isinstance, chunks, shapes)))
        chunks = py::call(global_as_read(encoder_module, "list"), chunks);
    return py::take(PyUnicode_Join(py::text("").ptr(), chunks.ptr()));
}

}  // namespace runset
