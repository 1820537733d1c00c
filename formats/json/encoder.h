// A JSON encoder that writes what the json package's C encoder (c_make_encoder,
// Modules/_json.c) writes with ensure_ascii and no indent: the same text and the
// same exceptions, value by value. Generic: it knows nothing of what it encodes.
#pragma once

#include "native/api.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace formats {

// The growing text of one encode: appends inline, a call only to grow.
class JsonText {
public:
    void append(const char* text, size_t size) {
        if (size > capacity_ - size_)
            grow(size);
        copy(data_.get() + size_, text, size);
        size_ += size;
    }
    void append(const std::string& text) { append(text.data(), text.size()); }
    JsonText& operator+=(char c) {
        if (size_ == capacity_)
            grow(1);
        data_.get()[size_++] = c;
        return *this;
    }
    void clear() { size_ = 0; }
    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    // Most pieces are a key or a short value: two overlapping fixed-size moves
    // instead of a call to memcpy.
    static void copy(char* to, const char* from, size_t size) {
        if (size >= 8 && size <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + size - 8, from + size - 8, 8);
        } else if (size >= 4 && size < 8) {
            std::memcpy(to, from, 4);
            std::memcpy(to + size - 4, from + size - 4, 4);
        } else if (size < 4) {
            for (size_t i = 0; i < size; ++i)
                to[i] = from[i];
        } else {
            std::memcpy(to, from, size);
        }
    }

    void grow(size_t more);

    struct Release {
        void operator()(char* data) const { std::free(data); }
    };
    std::unique_ptr<char, Release> data_;
    size_t size_ = 0, capacity_ = 0;
};

// The json package's encoder options this writer has (its defaults, as json.dumps).
struct JsonOptions {
    bool skipkeys = false;
    bool check_circular = true;
    bool allow_nan = true;
    const char* item_separator = ", ";
    const char* key_separator = ": ";
};

class JsonEncoder {
public:
    using Options = JsonOptions;

    // `default_fn` is the json `default` callback; null means JSONEncoder.default's
    // TypeError for every value no rule encodes.
    explicit JsonEncoder(Options options = Options(), py::handle default_fn = py::handle());
    virtual ~JsonEncoder() = default;
    JsonEncoder(const JsonEncoder&) = delete;
    JsonEncoder& operator=(const JsonEncoder&) = delete;

    // JSONEncoder.encode(obj): the whole text as a str.
    py::object encode(py::handle obj);

protected:
    // listencode_obj: one value of any kind.
    void encode_value(py::handle obj);

    // A value none of the rules encodes, already marked for the circular check.
    // The base calls `default` and encodes what it returns, one level deeper.
    virtual void encode_other(py::handle obj);

    // Encodes the replacement that a `default` gave for `obj`.
    void encode_replacement(py::handle obj, py::handle replacement);

    // The notes the json package adds to an error leaving a defaulted value, or
    // the value of one entry of a mapping (3.14+; nothing before).
    static void note_object(py::handle obj);
    static void note_entry(py::handle mapping, py::handle key);

    // What JSONEncoder.default raises for `obj`.
    [[noreturn]] static void refuse(py::handle obj);

    // Pieces for a subclass that writes a mapping of its own: begin_object, then
    // per entry object_key(key, first) and the value, then end_object.
    void begin_object() { out_ += '{'; }
    void object_key(py::handle key, bool first);
    void end_object() { out_ += '}'; }

    // The string value of a str that holds exactly this ASCII text, written
    // without making the str.
    void encode_ascii(const char* text, size_t size);

    // The circular check of one container or defaulted value, as the encoder's
    // markers dict keeps it.
    class Marker {
    public:
        Marker(JsonEncoder& encoder, py::handle obj);
        ~Marker();
        Marker(const Marker&) = delete;
        Marker& operator=(const Marker&) = delete;

    private:
        JsonEncoder& encoder_;
        PyObject* obj_;
    };

    // The objects being encoded, innermost last. A shallow stack is searched in
    // place; from `deep` entries on, a set holding the same objects answers.
    class Markers {
    public:
        bool enter(PyObject* obj);  // false when obj is already in
        void leave();
        void clear();

    private:
        static constexpr size_t deep = 32;
        std::vector<PyObject*> stack_;
        std::unordered_set<PyObject*> set_;
    };

private:
    void encode_str(py::handle text);
    void encode_float(py::handle number);
    void encode_int(py::handle number);
    void encode_list(py::handle sequence);
    void encode_dict(py::handle mapping);
    void encode_entry(py::handle mapping, PyObject* key, PyObject* value, bool& first);
    void append_str(py::handle text);
    void append_ascii(const char* text, size_t size);
    void append_separator(const std::string& separator) { out_.append(separator); }
    template <size_t N>
    void append_literal(const char (&text)[N]) {
        out_.append(text, N - 1);
    }

    // Keys met again are copied from their first writing, with the separators
    // around them: a str is immutable and the entry holds it, so the same object
    // still has the same text.
    struct KeyText {
        py::object key;
        std::string text;
    };
    static constexpr size_t key_slots = 512;
    std::unique_ptr<KeyText[]> key_texts_;

    Options options_;
    std::string item_separator_, key_separator_;
    py::object default_fn_;
    Markers markers_;
    JsonText out_;
};

}  // namespace formats
