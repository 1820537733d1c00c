// Pretty-printed XML straight from an element tree.
//
// Gives the text that the round trip
//     minidom.parseString(ET.tostring(root, encoding="utf-8")).toprettyxml(indent=...)
// gives, without serialising, parsing and building a DOM. It renders only trees it is
// certain about and steps aside otherwise, before anything is written, so that the
// caller runs the round trip itself and gets its text or its error. Knows nothing of
// what the elements mean.
#pragma once

#include "native/snapshot.h"

#include <string>
#include <string_view>
#include <vector>

namespace writers::xml_pretty {

using py::handle;
using py::object;

// How the running interpreter's printer escapes; it changed between versions.
struct Escaping {
    bool quote_in_text = true;          // '"' written as &quot; in text too
    bool breaks_in_attributes = false;  // tab, line feed, carriage return as character references in attribute values
};

class RoundTrip {
public:
    // Takes the pieces the round trip runs through from the modules as imported, and
    // learns the printer's escaping from a probe document sent through them. When
    // the probe matches no known escaping the renderer stays off.
    void capture(handle etree, handle minidom);

    // `etree` and `minidom` are the captured modules and every piece the round trip
    // reads is still the one captured.
    bool intact(handle etree, handle minidom) const;

    // The round trip's text for `root`, or an empty object (no error set) when this
    // renderer cannot be sure of it: an element that is not a plain Element, a
    // name that is not a plain XML name, a value that is not a str, a character
    // XML 1.0 does not allow, or nesting deep enough for the round trip to run out
    // of recursion.
    object render(handle root, std::string_view indent) const;

    // The generic road's compact form: tostring(root, encoding="utf-8").
    object compact(handle root) const;

    bool enabled() const { return enabled_; }

private:
    // `owner.name`, or `owner[name]` for a mapping, watched.
    void keep(handle owner, const char* name, bool item = false);
    object round_trip(handle root, handle indent) const;

    py::Snapshot pieces_;
    object etree_, minidom_, element_type_, tostring_, parse_string_, toprettyxml_;
    object encoding_keyword_, indent_keyword_, utf_8_;
    Escaping escaping_;
    bool enabled_ = false;
};

}  // namespace writers::xml_pretty
