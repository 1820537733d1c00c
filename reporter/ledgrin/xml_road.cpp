#include "reporter/ledgrin/xml_road.h"
#include "reporter/ledgrin/ledgrin.h"

namespace ledgrin {

void XmlRoad::keep(handle owner, handle name, bool item) {
    if (item)
        pieces_.item(owner, name);
    else
        pieces_.attribute(owner, name);
}

void XmlRoad::capture(handle etree, handle minidom) {
    etree_ = py::borrow(etree);
    minidom_ = py::borrow(minidom);
    element_type_ = py::getattr(etree, n::Element);
    tostring_ = py::getattr(etree, n::tostring);
    parse_string_ = py::getattr(minidom, n::parseString);
    encoding_keyword_ = py::tuple(n::encoding);
    indent_keyword_ = py::tuple(n::indent);
    utf_8_ = py::text("utf-8");

    // What tostring runs through.
    for (handle name : {n::tostring, n::ElementTree, n::Element, n::_serialize_xml, n::_escape_cdata, n::_escape_attrib,
                        n::_namespaces, n::_serialize})
        keep(etree, name);
    keep(py::getattr(etree, n::ElementTree), n::write);
    keep(py::getattr(etree, n::_serialize), n::xml, true);
    // What parseString and toprettyxml run through.
    for (handle name : {n::parseString, n::Document, n::Element, n::Text, n::_write_data})
        keep(minidom, name);
    object document = py::getattr(minidom, n::Document);
    keep(document, n::toprettyxml);
    keep(document, n::writexml);
    keep(py::getattr(minidom, n::Element), n::writexml);
    keep(py::getattr(minidom, n::Text), n::writexml);

    // A probe with every character the steps treat specially, in text, tails and
    // attribute values.
    static const char* tricky = "\"&<>]]>\t\r\n\r\r\n'\xc3\xa9";
    object root = py::call(element_type_, n::probe);
    py::setattr(root, n::text, py::text(tricky));
    py::setitem(py::getattr(root, n::attrib), n::value, py::text(tricky));
    object child = py::call(py::getattr(etree, n::SubElement), root, n::child);
    py::setattr(child, n::text, py::text(tricky));
    py::setattr(child, n::tail, py::text(tricky));
    py::call(py::getattr(etree, n::SubElement), child, n::empty);

    object indent = py::text("  ");
    object expected = round_trip(root, indent);
    // The parser and expatbuilder are reached only through parseString: capture them now it has run.
    object dom_package = py::take(PyImport_ImportModule("xml.dom"));
    keep(dom_package, n::expatbuilder);
    object expatbuilder = py::getattr(dom_package, n::expatbuilder);
    keep(expatbuilder, n::parseString);
    keep(expatbuilder, n::ExpatBuilderNS);
    // The modules whole (a name added may shadow a builtin their code reads), their
    // classes (minidom.Node's constants and Element's attribute reads included),
    // the stream the printer writes to and the builtins.
    for (const char* name : {"xml.etree.ElementTree", "xml.dom", "xml.dom.minidom", "xml.dom.minicompat",
                             "xml.dom.expatbuilder", "xml.dom.xmlbuilder", "xml.dom.NodeFilter", "xml.parsers.expat"})
        pieces_.module(py::take(PyImport_ImportModule(name)));
    object io = py::take(PyImport_ImportModule("io"));
    keep(io, n::StringIO);
    pieces_.builtins_read(PyModule_GetDict(py::take(PyImport_ImportModule("builtins")).ptr()));

    for (bool quote_in_text : {true, false}) {
        for (bool breaks_in_attributes : {false, true}) {
            escaping_ = formats::xml_pretty::Escaping{quote_in_text, breaks_in_attributes};
            enabled_ = true;
            object text = render(root, "  ");
            if (text && py::compare(text, expected, Py_EQ))
                return;
        }
    }
    enabled_ = false;
}

object XmlRoad::round_trip(handle root, handle indent) const {
    object rough = compact(root);
    object dom = py::call(parse_string_, rough);
    return py::call_keywords(py::getattr(dom, n::toprettyxml), 0, indent_keyword_, indent);
}

bool XmlRoad::intact(handle etree, handle minidom) const {
    return enabled_ && etree.ptr() == etree_.ptr() && minidom.ptr() == minidom_.ptr() && pieces_.intact();
}

object XmlRoad::render(handle root, std::string_view indent) const {
    if (!enabled_)
        return object();
    return formats::xml_pretty::render(root, indent, escaping_, element_type_);
}

object XmlRoad::compact(handle root) const { return py::call_keywords(tostring_, 1, encoding_keyword_, root, utf_8_); }

}  // namespace ledgrin
