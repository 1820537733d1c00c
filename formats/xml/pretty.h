// Pretty-printed XML straight from an element tree.
//
// Gives the text that the round trip
//     minidom.parseString(ET.tostring(root, encoding="utf-8")).toprettyxml(indent=...)
// gives, without serialising, parsing and building a DOM. It renders only trees it is
// certain about and steps aside otherwise, before anything is written, so that the
// caller runs the round trip itself and gets its text or its error. Knows nothing of
// what the elements mean, nor whether the libraries are still the ones it was
// matched against: the XML fast road (reporter/ledgrin/xml_road.h) watches that.
#pragma once

#include "native/api.h"

#include <string_view>

namespace formats::xml_pretty {

using py::handle;
using py::object;

// How the running interpreter's printer escapes; it changed between versions.
struct Escaping {
    bool quote_in_text = true;          // '"' written as &quot; in text too
    bool breaks_in_attributes = false;  // tab, line feed, carriage return as character references in attribute values
};

// The round trip's text for `root`, printed with `escaping`, or an empty object (no
// error set) when this renderer cannot be sure of it: an element that is not of
// exactly `element_type` (ET.Element), a name that is not a plain XML name, a value
// that is not a str, a character XML 1.0 does not allow, or nesting deep enough for
// the round trip to run out of recursion.
object render(handle root, std::string_view indent, const Escaping& escaping, handle element_type);

}  // namespace formats::xml_pretty
