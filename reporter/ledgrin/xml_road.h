// The fast road of generate_xml's pretty-printed files: the text the round trip
// ET.tostring, minidom.parseString and toprettyxml gives, written by the renderer
// in formats/xml/pretty while every piece that round trip reads is the one
// captured at start-up. The ledgrin module state owns it.
#pragma once

#include "native/snapshot.h"
#include "formats/xml/pretty.h"

#include <string_view>

namespace ledgrin {

using py::handle;
using py::object;

class XmlRoad {
public:
    // Takes the pieces the round trip runs through from the modules as imported, and
    // learns the printer's escaping from a probe document sent through them. When
    // the probe matches no known escaping the road stays closed.
    void capture(handle etree, handle minidom);

    // `etree` and `minidom` are the captured modules and every piece the round trip
    // reads is still the one captured.
    bool intact(handle etree, handle minidom) const;

    // The round trip's text for `root`, or an empty object (no error set) where the
    // renderer cannot be sure of it (see formats::xml_pretty::render).
    object render(handle root, std::string_view indent) const;

    // The generic road's compact form: tostring(root, encoding="utf-8").
    object compact(handle root) const;

    bool enabled() const { return enabled_; }

private:
    // `owner.name`, or `owner[name]` for a mapping, watched.
    void keep(handle owner, handle name, bool item = false);
    object round_trip(handle root, handle indent) const;

    py::Snapshot pieces_;
    object etree_, minidom_, element_type_, tostring_, parse_string_;
    object encoding_keyword_, indent_keyword_, utf_8_;
    formats::xml_pretty::Escaping escaping_;
    bool enabled_ = false;
};

}  // namespace ledgrin
