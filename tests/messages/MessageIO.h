// Writing and reading generated messages the way the packet layer does, without the framework:
// the UTF-8 declaration, then the root through the writer with a tab and "\n"; reading over a
// memory source, keeping the code and the reader's error text.
#pragma once

#include <sstream>
#include <string>

#include "lmx/lmx_read.h"
#include "lmx/lmx_reader.h"
#include "lmx/lmx_writer.h"

namespace message_io {

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

struct Written {
  int code;
  std::string bytes;
};

template <class T>
Written write(const T& message) {
  std::ostringstream out;
  out << kDeclaration;
  lmx::c_xml_writer writer(out, "\t", "\n");
  const int code = message.write(writer);
  return {code, out.str()};
}

struct Read {
  int code;
  std::string error;  // the reader's error text when code != 0
};

template <class T>
Read read(T& message, const std::string& body) {
  lmx::c_read_memory source(body.data(), body.size());
  lmx::c_xml_reader reader(source);
  const int code = message.read(reader);
  return {code, code != 0 ? reader.get_error_message() : std::string()};
}

}  // namespace message_io
