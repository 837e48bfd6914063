#!/usr/bin/env python3
"""Generates the message classes of one schema file (an XSD subset) as C++.

Usage: lmxgen.py --out DIR [--samples] SCHEMA.xsd...

Each schema holds the global elements OrxRequest and/or OrxResponse of one command; the
command is the file's stem. For every global element the generator writes <Cmd>_Request.h/.cpp
or <Cmd>_Response.h/.cpp with one namespace of the same name; with --samples it also writes
<Cmd>_Request_sample.h (a filler that sets every member, used by tests and the fuzz corpus).

Schema subset understood:
  xs:element (name, type, minOccurs, maxOccurs, default) with an inline xs:complexType holding
  an xs:sequence of elements, xs:attribute (name, type xs:string, use, default) and
  xs:simpleContent/xs:extension for text with attributes; a nested xs:sequence holding one
  element is an anonymous repeated group; xs:simpleType restrictions of xs:string with
  xs:enumeration values; xs:include. Two attributes of our own namespace (urn:zarvo:lmxgen):
  gen:emptyAllowed="true" on an element accepts an empty-element tag as an item without values,
  gen:firstNumber on a simpleType adds a setter taking a number (first value = that number).

Emitted class shape (element X, class c_X nested in its parent's class):
  scalar child Y       get_Y(), set_Y(v), isset_Y()
  enumerated child Y   as scalar, plus bool set_Y(int number) when the type is numbered
  repeated scalar Y    size_Y(), get_Y(i), append_Y(v), clear_Y()
  complex child Y      get_Y() (const and mutable)
  optional complex Y   get_Y(), isset_Y(), enable_Y() (sets presence, returns the object),
                       unset_Y()
  repeated complex Y   size_Y(), get_Y(i), append_Y(), item_Y(i) (grows the list),
                       back_Y(), clear_Y()
  anonymous group Y    class c_anon_Y (size(), get(i), append(v), clear()); anon_Y()
  attribute A          get_A(), set_A(v), isset_A()
  text of simple content  get_value(), set_value(v), isset_value()
  every class          read_element(reader, name), write_element(writer, name), operator==;
                       no virtual functions and no declared destructor or copy: plain values
  root classes         read(reader), write(writer[, name])
Value types: xs:string and enumerations std::u16string, xs:int int32_t, xs:unsignedInt
uint32_t, xs:boolean bool, xs:integer std::string holding the decimal text.
"""

import argparse
import os
import sys
import xml.etree.ElementTree as ET

XS = "{http://www.w3.org/2001/XMLSchema}"
GEN = "{urn:zarvo:lmxgen}"


class SchemaError(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Model

class EnumType:
    def __init__(self, name, values, first_number):
        self.name = name
        self.values = values
        self.first_number = first_number  # None: no numeric setter


class Scalar:
    """The value type of a leaf element, an attribute or simple content."""
    BUILTIN = {
        "xs:string": "string", "xs:int": "int", "xs:unsignedInt": "unsigned",
        "xs:integer": "integer", "xs:boolean": "bool",
    }
    CPP = {"string": "std::u16string", "enum": "std::u16string", "int": "std::int32_t",
           "unsigned": "std::uint32_t", "integer": "std::string", "bool": "bool"}

    def __init__(self, kind, enum=None):
        self.kind = kind
        self.enum = enum

    @property
    def cpp(self):
        return self.CPP[self.kind]


class Attr:
    def __init__(self, name, required, default):
        self.name = name
        self.required = required
        self.default = default


class Child:
    def __init__(self, name, min_occurs, max_occurs, scalar=None, cls=None, anon=False,
                 default=None):
        self.name = name
        self.min = min_occurs
        self.max = max_occurs  # None = unbounded
        self.scalar = scalar
        self.cls = cls
        self.anon = anon
        self.default = default

    @property
    def repeated(self):
        return self.max is None or self.max > 1


class ClassDef:
    def __init__(self, name, parent):
        self.name = name
        self.parent = parent
        self.attrs = []
        self.children = []
        self.text = None  # Scalar of simple content
        self.empty_allowed = False

    @property
    def cname(self):
        return "c_" + self.name

    @property
    def qualified(self):
        return (self.parent.qualified + "::" if self.parent else "") + self.cname

    @property
    def has_mandatory_content(self):
        if self.text is not None or self.empty_allowed:
            return False
        return any(c.min > 0 for c in self.children)

    @property
    def written_empty(self):
        """Elements without children or text are written as one empty-element tag."""
        return self.text is None and not self.children


class Message:
    def __init__(self, namespace, root, command, schema_path):
        self.namespace = namespace
        self.root = root
        self.command = command
        self.schema_path = schema_path


# ---------------------------------------------------------------------------------------------
# Front end: XSD subset -> model

def _occurs(node, attr):
    text = node.get(attr, "1")
    if text == "unbounded":
        return None
    try:
        return int(text)
    except ValueError:
        raise SchemaError("bad %s=%r on %s" % (attr, text, node.get("name")))


class SchemaReader:
    def __init__(self):
        self.enums = {}

    def load_types(self, path, seen=None):
        seen = seen if seen is not None else set()
        path = os.path.normpath(path)
        if path in seen:
            return None
        seen.add(path)
        tree = ET.parse(path).getroot()
        if tree.tag != XS + "schema":
            raise SchemaError("%s: root is not xs:schema" % path)
        for node in tree:
            if node.tag == XS + "include":
                self.load_types(os.path.join(os.path.dirname(path), node.get("schemaLocation")),
                                seen)
            elif node.tag == XS + "simpleType":
                self._simple_type(node)
        return tree

    def _simple_type(self, node):
        name = node.get("name")
        restriction = node.find(XS + "restriction")
        if restriction is None or restriction.get("base") != "xs:string":
            raise SchemaError("simpleType %s: only xs:string restrictions" % name)
        values = [e.get("value") for e in restriction.findall(XS + "enumeration")]
        if not values:
            raise SchemaError("simpleType %s: no enumeration values" % name)
        first = node.get(GEN + "firstNumber")
        self.enums[name] = EnumType(name, values, int(first) if first is not None else None)

    def scalar(self, type_name, where):
        if type_name in Scalar.BUILTIN:
            return Scalar(Scalar.BUILTIN[type_name])
        if type_name in self.enums:
            return Scalar("enum", self.enums[type_name])
        raise SchemaError("%s: unknown type %r" % (where, type_name))

    def messages(self, path):
        tree = self.load_types(path)
        command = os.path.splitext(os.path.basename(path))[0]
        result = []
        for node in tree:
            if node.tag != XS + "element":
                continue
            root_name = node.get("name")
            direction = {"OrxRequest": "Request", "OrxResponse": "Response"}.get(root_name)
            if direction is None:
                raise SchemaError("%s: global element %s is not a message root" % (path, root_name))
            root = self.complex(node, None)
            if direction == "Request":
                command_attr = [a for a in root.attrs if a.name == "command"]
                if not command_attr or command_attr[0].default != command:
                    raise SchemaError("%s: request root needs command default %s" % (path, command))
            result.append(Message(command + "_" + direction, root, command, path))
        return result

    def complex(self, node, parent):
        cls = ClassDef(node.get("name"), parent)
        cls.empty_allowed = node.get(GEN + "emptyAllowed") == "true"
        ctype = node.find(XS + "complexType")
        if ctype is None:
            raise SchemaError("element %s has neither type nor complexType" % cls.name)
        for part in ctype:
            if part.tag == XS + "sequence":
                self._sequence(part, cls)
            elif part.tag == XS + "attribute":
                cls.attrs.append(self._attribute(part, cls))
            elif part.tag == XS + "simpleContent":
                ext = part.find(XS + "extension")
                cls.text = self.scalar(ext.get("base"), cls.name)
                for a in ext.findall(XS + "attribute"):
                    cls.attrs.append(self._attribute(a, cls))
            else:
                raise SchemaError("element %s: unsupported %s" % (cls.name, part.tag))
        return cls

    def _attribute(self, node, cls):
        if node.get("type", "xs:string") != "xs:string":
            raise SchemaError("attribute %s of %s: only xs:string" % (node.get("name"), cls.name))
        return Attr(node.get("name"), node.get("use") == "required", node.get("default"))

    def _sequence(self, seq, cls):
        for node in seq:
            if node.tag == XS + "element":
                cls.children.append(self._child(node, cls))
            elif node.tag == XS + "sequence":
                inner = node.findall(XS + "element")
                if len(inner) != 1 or len(node) != 1 or _occurs(node, "maxOccurs") is not None:
                    raise SchemaError("%s: a nested sequence must hold one element and be "
                                      "unbounded" % cls.name)
                child = self._child(inner[0], cls)
                if child.scalar is None:
                    raise SchemaError("%s: anonymous groups hold simple elements" % cls.name)
                child.anon = True
                child.min, child.max = _occurs(node, "minOccurs"), None
                cls.children.append(child)
            else:
                raise SchemaError("%s: unsupported %s in sequence" % (cls.name, node.tag))

    def _child(self, node, cls):
        name = node.get("name")
        mn, mx = _occurs(node, "minOccurs"), _occurs(node, "maxOccurs")
        if node.get("type") is not None:
            if mn == 0 and mx == 1:
                raise SchemaError("%s/%s: optional scalars are not supported" % (cls.name, name))
            return Child(name, mn, mx, scalar=self.scalar(node.get("type"), name),
                         default=node.get("default"))
        return Child(name, mn, mx, cls=self.complex(node, cls))


# ---------------------------------------------------------------------------------------------
# Back end: model -> C++

def u16(text):
    return 'u"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def initial_value(scalar, default):
    if scalar.kind in ("string", "enum"):
        return u16(default) if default else None
    if scalar.kind == "integer":
        return '"%s"' % default if default else None
    if scalar.kind == "bool":
        return "true" if default in ("true", "1") else "false"
    if scalar.kind == "unsigned":
        return (default or "0") + "u"
    return default or "0"


def classes_bottom_up(cls):
    for child in cls.children:
        if child.cls is not None:
            yield from classes_bottom_up(child.cls)
    yield cls


class Emitter:
    def __init__(self, message):
        self.m = message
        self.out = []

    def line(self, text=""):
        self.out.append(text)

    # ---- header ----

    def header(self):
        m = self.m
        self.line("// Message classes of %s, generated by tools/lmxgen.py from %s." %
                  (m.namespace, os.path.basename(m.schema_path)))
        self.line("// Do not edit: change the schema and rebuild.")
        self.line("#pragma once")
        self.line()
        self.line('#include "lmx/lmx_gen_support.h"')
        self.line()
        self.line("namespace %s {" % m.namespace)
        self.line()
        self.class_decl(m.root, "")
        self.line()
        self.line("}  // namespace %s" % m.namespace)
        return "\n".join(self.out) + "\n"

    def class_decl(self, cls, ind):
        p = ind
        self.line(p + "class %s {" % cls.cname)
        self.line(p + " public:")
        q = ind + "  "
        for child in cls.children:
            if child.cls is not None:
                self.class_decl(child.cls, q)
                self.line()
            elif child.anon:
                self.anon_decl(child, q)
                self.line()
        self.line(q + "%s();" % cls.cname)
        self.line(q + "bool operator==(const %s& other) const;" % cls.cname)
        self.line(q + "bool operator!=(const %s& other) const { return !(*this == other); }" %
                  cls.cname)
        self.line()
        for a in cls.attrs:
            self.value_accessors(q, a.name, Scalar("string"))
        if cls.text is not None:
            self.value_accessors(q, "value", cls.text)
        for child in cls.children:
            self.child_accessors(q, child)
        self.line(q + "[[nodiscard]] int read_element(lmx::c_xml_reader& reader, "
                  "const std::string& name);")
        self.line(q + "[[nodiscard]] int write_element(lmx::c_xml_writer& writer, "
                  "std::string_view name) const;")
        if cls.parent is None:
            self.line(q + "// Finds the root element %s and reads it." % cls.name)
            self.line(q + "[[nodiscard]] int read(lmx::c_xml_reader& reader);")
            self.line(q + "[[nodiscard]] int write(lmx::c_xml_writer& writer, "
                      'std::string_view name = "%s") const {' % cls.name)
            self.line(q + "  return write_element(writer, name);")
            self.line(q + "}")
        self.line()
        self.line(p + " private:")
        for a in cls.attrs:
            self.line(q + "std::u16string %s_;" % a.name)
            self.line(q + "bool %s_present_ = false;" % a.name)
        if cls.text is not None:
            self.line(q + "%s value_{};" % cls.text.cpp)
            self.line(q + "bool value_present_ = false;")
        for child in cls.children:
            n = child.name
            if child.anon:
                self.line(q + "c_anon_%s anon_%s_;" % (n, n))
            elif child.cls is not None and child.repeated:
                self.line(q + "lmx::gen::owned_list<%s> %s_;" % (child.cls.cname, n))
            elif child.cls is not None:
                self.line(q + "%s %s_;" % (child.cls.cname, n))
                if child.min == 0:
                    self.line(q + "bool %s_present_ = false;" % n)
            elif child.repeated:
                self.line(q + "std::vector<%s> %s_;" % (child.scalar.cpp, n))
            else:
                self.line(q + "%s %s_{};" % (child.scalar.cpp, n))
                self.line(q + "bool %s_present_ = false;" % n)
        self.line(p + "};")

    def anon_decl(self, child, q):
        t = child.scalar.cpp
        n = "c_anon_" + child.name
        self.line(q + "// The repeated %s elements, written one after another without a wrapper."
                  % child.name)
        self.line(q + "class %s {" % n)
        self.line(q + " public:")
        self.line(q + "  bool operator==(const %s& other) const { return items_ == other.items_; }"
                  % n)
        self.line(q + "  std::size_t size() const { return items_.size(); }")
        self.line(q + "  const %s& get(std::size_t index) const { return items_.at(index); }" % t)
        self.line(q + "  void append(const %s& value) { items_.push_back(value); }" % t)
        self.line(q + "  void clear() { items_.clear(); }")
        self.line(q + " private:")
        self.line(q + "  std::vector<%s> items_;" % t)
        self.line(q + "};")

    def value_accessors(self, q, n, scalar):
        t = scalar.cpp
        self.line(q + "const %s& get_%s() const { return %s_; }" % (t, n, n))
        self.line(q + "void set_%s(const %s& value) {" % (n, t))
        self.line(q + "  %s_ = value;" % n)
        self.line(q + "  %s_present_ = true;" % n)
        self.line(q + "}")
        self.line(q + "bool isset_%s() const { return %s_present_; }" % (n, n))
        if scalar.enum is not None and scalar.enum.first_number is not None:
            e = scalar.enum
            self.line(q + "// %d = %s ... %d = %s; any other number changes nothing." %
                      (e.first_number, e.values[0], e.first_number + len(e.values) - 1,
                       e.values[-1]))
            self.line(q + "bool set_%s(int number);" % n)
        self.line()

    def child_accessors(self, q, child):
        n = child.name
        if child.anon:
            self.line(q + "const c_anon_%s& anon_%s() const { return anon_%s_; }" % (n, n, n))
            self.line(q + "c_anon_%s& anon_%s() { return anon_%s_; }" % (n, n, n))
        elif child.cls is not None and child.repeated:
            c = child.cls.cname
            self.line(q + "std::size_t size_%s() const { return %s_.size(); }" % (n, n))
            self.line(q + "const %s& get_%s(std::size_t index) const { return %s_.at(index); }" %
                      (c, n, n))
            self.line(q + "void append_%s() { %s_.append(); }" % (n, n))
            self.line(q + "%s& item_%s(std::size_t index) { return %s_.grow_to(index); }" %
                      (c, n, n))
            self.line(q + "%s& back_%s() { return %s_.back(); }" % (c, n, n))
            self.line(q + "void clear_%s() { %s_.clear(); }" % (n, n))
        elif child.cls is not None:
            c = child.cls.cname
            self.line(q + "const %s& get_%s() const { return %s_; }" % (c, n, n))
            self.line(q + "%s& get_%s() { return %s_; }" % (c, n, n))
            if child.min == 0:
                self.line(q + "bool isset_%s() const { return %s_present_; }" % (n, n))
                self.line(q + "%s& enable_%s() {" % (c, n))
                self.line(q + "  %s_present_ = true;" % n)
                self.line(q + "  return %s_;" % n)
                self.line(q + "}")
                self.line(q + "void unset_%s() { %s_present_ = false; }" % (n, n))
        elif child.repeated:
            t = child.scalar.cpp
            self.line(q + "std::size_t size_%s() const { return %s_.size(); }" % (n, n))
            self.line(q + "const %s& get_%s(std::size_t index) const { return %s_.at(index); }" %
                      (t, n, n))
            self.line(q + "void append_%s(const %s& value) { %s_.push_back(value); }" % (n, t, n))
            self.line(q + "void clear_%s() { %s_.clear(); }" % (n, n))
        else:
            self.value_accessors(q, n, child.scalar)
            return
        self.line()

    # ---- source ----

    def source(self):
        m = self.m
        self.line("// Generated by tools/lmxgen.py from %s. Do not edit." %
                  os.path.basename(m.schema_path))
        self.line('#include "%s.h"' % m.namespace)
        self.line()
        self.line("namespace %s {" % m.namespace)
        self.line("namespace {")
        self.constants()
        self.line("}  // namespace")
        for cls in classes_bottom_up(m.root):
            self.line()
            self.class_source(cls)
        self.line()
        self.line("}  // namespace %s" % m.namespace)
        return "\n".join(self.out) + "\n"

    def enums_used(self):
        seen = {}
        for cls in classes_bottom_up(self.m.root):
            for child in cls.children:
                if child.scalar is not None and child.scalar.enum is not None:
                    seen[child.scalar.enum.name] = child.scalar.enum
        return list(seen.values())

    def constants(self):
        if not self.enums_used():
            return
        self.line()
        self.line("// Allowed values of each enumeration, in declaration order.")
        for e in self.enums_used():
            self.line("const lmx::gen::enumeration k_enum_%s{%s};" %
                      (e.name, ", ".join(u16(v) for v in e.values)))
        self.line()

    def class_source(self, cls):
        qn = cls.qualified
        c = cls.cname
        # Constructor: defaults only; every presence flag starts false.
        inits = []
        for a in cls.attrs:
            if a.default:
                inits.append("%s_(%s)" % (a.name, u16(a.default)))
        for child in cls.children:
            if child.scalar is not None and not child.repeated and not child.anon:
                v = initial_value(child.scalar, child.default)
                if v is not None:
                    inits.append("%s_(%s)" % (child.name, v))
        self.line("%s::%s()%s {}" % (qn, c, (" : " + ", ".join(inits)) if inits else ""))
        self.line()
        self.equality(cls)
        for child in cls.children:
            s = child.scalar
            if s is not None and s.enum is not None and s.enum.first_number is not None:
                self.line("bool %s::set_%s(int number) {" % (qn, child.name))
                first = s.enum.first_number
                last = first + len(s.enum.values) - 1
                self.line("  if (number < %d || number > %d) return false;" % (first, last))
                self.line("  %s_ = k_enum_%s.values[static_cast<std::size_t>(number - %d)];" %
                          (child.name, s.enum.name, first))
                self.line("  %s_present_ = true;" % child.name)
                self.line("  return true;")
                self.line("}")
                self.line()
        self.read_source(cls)
        self.line()
        self.write_source(cls)
        if cls.parent is None:
            self.line()
            self.line("int %s::read(lmx::c_xml_reader& reader) {" % qn)
            self.line("  std::string found;")
            self.line('  if (const int code = lmx::gen::find_root(reader, "%s", found); code != 0) '
                      "return code;" % cls.name)
            self.line("  return read_element(reader, found);")
            self.line("}")

    def equality(self, cls):
        qn = cls.qualified
        terms = []
        for a in cls.attrs:
            terms += ["%s_ == other.%s_" % (a.name, a.name),
                      "%s_present_ == other.%s_present_" % (a.name, a.name)]
        if cls.text is not None:
            terms += ["value_ == other.value_", "value_present_ == other.value_present_"]
        for child in cls.children:
            n = child.name
            if child.anon:
                terms.append("anon_%s_ == other.anon_%s_" % (n, n))
                continue
            terms.append("%s_ == other.%s_" % (n, n))
            if (child.cls is not None and child.min == 0 and not child.repeated) or \
                    (child.scalar is not None and not child.repeated):
                terms.append("%s_present_ == other.%s_present_" % (n, n))
        self.line("bool %s::operator==(const %s& other) const {" % (qn, cls.cname))
        if not terms:
            self.line("  (void)other;")
            self.line("  return true;")
        else:
            self.line("  return " + " &&\n         ".join(terms) + ";")
        self.line("}")
        self.line()

    def read_source(self, cls):
        qn = cls.qualified
        self.line("int %s::read_element(lmx::c_xml_reader& reader, const std::string& name) {" %
                  qn)
        names = [ch.name for ch in cls.children]
        self.line("  static const lmx::gen::name_list k_children{%s};" %
                  ", ".join('"%s"' % n for n in names))
        self.line("  lmx::gen::element_reader in(reader, name, k_children);")
        if cls.attrs:
            slots = ", ".join('{"%s", %s, &%s_, &%s_present_}' %
                              (a.name, "true" if a.required else "false", a.name, a.name)
                              for a in cls.attrs)
            self.line("  lmx::gen::attribute_slot attributes[] = {%s};" % slots)
            self.line("  if (const int code = in.read_attributes(attributes); code != 0) "
                      "return code;")
        else:
            self.line("  if (const int code = in.read_attributes(); code != 0) return code;")
        if cls.text is not None:
            self.line("  return in.text(value_, value_present_);")
            self.line("}")
            return
        if cls.has_mandatory_content:
            self.line("  if (in.is_empty()) return in.report(lmx::ELMX_UNEXPECTED_EMPTY_ELEMENT, "
                      "name);")
        else:
            self.line("  if (in.is_empty()) return 0;")
        self.line("  if (const int code = in.next(); code != 0) return code;")
        for index, child in enumerate(cls.children):
            self.read_child(index, child)
        self.line("  return in.end();")
        self.line("}")

    def read_child(self, index, child):
        n = child.name
        if child.scalar is not None:
            enum = ", &k_enum_%s" % child.scalar.enum.name if child.scalar.enum else ""
            if child.anon or child.repeated:
                self.line("  while (in.at(%d)) {" % index)
                self.line("    %s item{};" % child.scalar.cpp)
                self.line("    bool present = false;")
                self.line("    if (const int code = in.scalar(%d, item, present%s); code != 0) "
                          "return code;" % (index, enum))
                if child.anon:
                    self.line("    anon_%s_.append(item);" % n)
                else:
                    self.line("    %s_.push_back(std::move(item));" % n)
                self.line("  }")
                if child.min > 0:
                    size = "anon_%s_.size() == 0" % n if child.anon else "%s_.empty()" % n
                    self.line("  if (%s) {" % size)
                    self.line("    if (const int code = in.missing(%d); code != 0) return code;" %
                              index)
                    self.line("  }")
            else:
                self.line("  if (!in.at(%d)) {" % index)
                self.line("    if (const int code = in.missing(%d); code != 0) return code;" %
                          index)
                self.line("  } else if (const int code = in.scalar(%d, %s_, %s_present_%s); "
                          "code != 0) {" % (index, n, n, enum))
                self.line("    return code;")
                self.line("  }")
            return
        if child.repeated:
            self.line("  while (in.at(%d)) {" % index)
            self.line("    if (const int code = %s_.append().read_element(reader, in.found_name()); "
                      "code != 0)" % n)
            self.line("      return code;")
            self.line("    if (const int code = in.next(); code != 0) return code;")
            self.line("  }")
            if child.min > 0:
                self.line("  if (%s_.empty()) {" % n)
                self.line("    if (const int code = in.missing(%d); code != 0) return code;" %
                          index)
                self.line("  }")
            return
        if child.min > 0:
            self.line("  if (!in.at(%d)) {" % index)
            self.line("    if (const int code = in.missing(%d); code != 0) return code;" % index)
            self.line("  } else {")
            self.line("    if (const int code = %s_.read_element(reader, in.found_name()); "
                      "code != 0)" % n)
            self.line("      return code;")
            self.line("    if (const int code = in.next(); code != 0) return code;")
            self.line("  }")
        else:
            self.line("  if (in.at(%d)) {" % index)
            self.line("    if (const int code = %s_.read_element(reader, in.found_name()); "
                      "code != 0)" % n)
            self.line("      return code;")
            self.line("    %s_present_ = true;" % n)
            self.line("    if (const int code = in.next(); code != 0) return code;")
            self.line("  }")

    @staticmethod
    def content_test(cls):
        terms = []
        for child in cls.children:
            n = child.name
            if child.anon:
                terms.append("anon_%s_.size() != 0" % n)
            elif child.repeated:
                terms.append("!%s_.empty()" % n)
            elif child.cls is not None and child.min > 0:
                terms.append("true")
            else:
                terms.append("%s_present_" % n)
        return " || ".join(terms) or "false"

    def write_source(self, cls):
        qn = cls.qualified
        self.line("int %s::write_element(lmx::c_xml_writer& writer, std::string_view name) "
                  "const {" % qn)
        attrs = []
        for a in cls.attrs:
            if a.required:
                attrs.append('  writer.write_attribute("%s", %s_);' % (a.name, a.name))
            else:
                attrs.append('  if (%s_present_) writer.write_attribute("%s", %s_);' %
                             (a.name, a.name, a.name))
        if cls.text is not None:
            self.line("  writer.start_inline_element(name);")
            self.out.extend(attrs)
            self.line("  writer.end_inline_element(name, value_present_ ? &value_ : nullptr);")
            self.line("  return 0;")
            self.line("}")
            return
        if cls.empty_allowed:
            # Read accepts an empty-element tag as an item without values, and only that: the
            # same item written with start and end tags would not read back.
            self.line("  if (!(%s)) {" % self.content_test(cls))
            self.line("    writer.start_element(name);")
            self.out.extend("  " + a for a in attrs)
            self.line("    writer.end_empty_element();")
            self.line("    return 0;")
            self.line("  }")
        self.line("  writer.start_element(name);")
        self.out.extend(attrs)
        if cls.written_empty:
            self.line("  writer.end_empty_element();")
            self.line("  return 0;")
            self.line("}")
            return
        self.line("  writer.end_start_tag();")
        for child in cls.children:
            n = child.name
            if child.scalar is not None:
                w = ("writer.write_integer_element" if child.scalar.kind == "integer"
                     else "writer.write_element")
                if child.anon:
                    self.line("  for (std::size_t i = 0; i < anon_%s_.size(); ++i) "
                              '%s("%s", anon_%s_.get(i));' % (n, w, n, n))
                elif child.repeated:
                    self.line('  for (const auto& item : %s_) %s("%s", item);' % (n, w, n))
                else:
                    self.line('  %s("%s", %s_);' % (w, n, n))
            elif child.repeated:
                self.line("  for (std::size_t i = 0; i < %s_.size(); ++i) {" % n)
                self.line('    if (const int code = %s_.at(i).write_element(writer, "%s"); '
                          "code != 0) return code;" % (n, n))
                self.line("  }")
            elif child.min == 0:
                self.line("  if (%s_present_) {" % n)
                self.line('    if (const int code = %s_.write_element(writer, "%s"); '
                          "code != 0) return code;" % (n, n))
                self.line("  }")
            else:
                self.line('  if (const int code = %s_.write_element(writer, "%s"); '
                          "code != 0) return code;" % (n, n))
        self.line("  writer.end_element(name);")
        self.line("  return 0;")
        self.line("}")


class SampleEmitter:
    """A filler that gives every member of a message a distinct, awkward value (markup
    characters, non-ASCII text, bounds of the numeric types, two items per list), so that a
    write-then-read round trip shows any member that is lost, swapped or mangled."""

    def __init__(self, message):
        self.m = message
        self.out = []
        self.counter = 0

    def value(self, scalar, name):
        self.counter += 1
        k = self.counter
        if scalar.kind == "string":
            return 'sample_values::text(u"%s", seed + %d)' % (name, k)
        if scalar.kind == "enum":
            return "sample_values::choice(k_enum_%s_sample, seed + %d)" % (scalar.enum.name, k)
        if scalar.kind == "int":
            return "static_cast<std::int32_t>(-2147483647 - 1 + seed + %d)" % k
        if scalar.kind == "unsigned":
            return "static_cast<std::uint32_t>(4294967295u - seed - %d)" % k
        if scalar.kind == "integer":
            return 'sample_values::integer(seed + %d)' % k
        return "(seed + %d) %% 2 == 0" % k

    def text(self):
        m = self.m
        self.out += [
            "// Sample values for %s, generated by tools/lmxgen.py. For tests and fuzz seeds."
            % m.namespace,
            "#pragma once", "",
            '#include "%s.h"' % m.namespace, '#include "SampleValues.h"', "",
            "namespace %s::sample {" % m.namespace, ""]
        enums = {}
        for cls in classes_bottom_up(m.root):
            for child in cls.children:
                if child.scalar is not None and child.scalar.enum is not None:
                    enums[child.scalar.enum.name] = child.scalar.enum
        for e in enums.values():
            self.out.append("inline const std::vector<std::u16string> k_enum_%s_sample{%s};" %
                            (e.name, ", ".join(u16(v) for v in e.values)))
        if enums:
            self.out.append("")
        for cls in classes_bottom_up(m.root):
            self.fill(cls)
        self.out += ["// The root filler as a type, for typed tests.",
                     "struct Filler {",
                     "  void operator()(%s& m, int seed) const { fill(m, seed); }" % m.root.cname,
                     "};", ""]
        self.out.append("}  // namespace %s::sample" % m.namespace)
        return "\n".join(self.out) + "\n"

    def fill(self, cls):
        self.out.append("inline void fill(%s& m, int seed = 0) {" % cls.qualified)
        self.out.append("  (void)m;")
        self.out.append("  (void)seed;")
        for a in cls.attrs:
            if a.name == "command":
                self.out.append("  m.set_command(m.get_command());")
            else:
                self.out.append("  m.set_%s(%s);" % (a.name, self.value(Scalar("string"), a.name)))
        if cls.text is not None:
            self.out.append("  m.set_value(%s);" % self.value(cls.text, cls.name))
        for child in cls.children:
            n = child.name
            if child.anon:
                for i in range(2):
                    self.out.append("  m.anon_%s().append(%s);" % (n, self.value(child.scalar, n)))
            elif child.scalar is not None and child.repeated:
                for i in range(2):
                    self.out.append("  m.append_%s(%s);" % (n, self.value(child.scalar, n)))
            elif child.scalar is not None:
                self.out.append("  m.set_%s(%s);" % (n, self.value(child.scalar, n)))
            elif child.repeated:
                for i in range(2):
                    self.out.append("  fill(m.item_%s(%d), seed + %d);" % (n, i, i))
            elif child.min == 0:
                self.out.append("  fill(m.enable_%s(), seed);" % n)
            else:
                self.out.append("  fill(m.get_%s(), seed);" % n)
        self.out.append("}")
        self.out.append("")


def write_file(path, text):
    # Always rewritten: the build compares the outputs' times with the schema's.
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--samples", action="store_true")
    parser.add_argument("schemas", nargs="+")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    try:
        for path in args.schemas:
            for message in SchemaReader().messages(path):
                base = os.path.join(args.out, message.namespace)
                write_file(base + ".h", Emitter(message).header())
                write_file(base + ".cpp", Emitter(message).source())
                if args.samples:
                    write_file(base + "_sample.h", SampleEmitter(message).text())
    except (SchemaError, ET.ParseError, OSError) as e:
        print("lmxgen: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
