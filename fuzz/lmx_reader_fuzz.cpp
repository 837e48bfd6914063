// Reads arbitrary bytes through the XML reader twice: once as a small message, driven the way
// message classes drive it, and once as a generic walk over every event, value and attribute.
// Neither may crash, leak, read out of bounds or hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "lmx/lmx_reader.h"

namespace {

enum { kRoot = lmx::TOK_USER, kName, kItem, kId = lmx::TOK_USER };
const lmx::s_name_entry kRootNames[] = {{lmx::NS_NONE, "Msg", kRoot}, {0, nullptr, 0}};
const lmx::s_name_entry kAttributes[] = {{lmx::NS_NONE, "id", kId}, {0, nullptr, 0}};
const lmx::s_name_entry kChildren[] = {
    {lmx::NS_NONE, "Name", kName}, {lmx::NS_NONE, "Item", kItem}, {0, nullptr, 0}};

int read_message(lmx::c_xml_reader& r) {
  std::string found;
  std::string value;
  int error = 0;
  int token = r.next_element(kRootNames, error, found);
  if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
  if (token != kRoot) return r.report_error(lmx::ELMX_ELEMENT_NOT_FOUND, "Msg", __FILE__, __LINE__);
  for (;;) {
    token = r.next_attribute(kAttributes, error, found);
    if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
    if (token == lmx::TOK_START_TAG_END) break;
    if (token == lmx::TOK_END_TAG) return 0;
    const int code =
        token == kId ? r.attribute_value(value, lmx::EXWS_PRESERVE) : r.skip_attribute_value();
    if (code != 0) return r.report_error(code, found, __FILE__, __LINE__);
  }
  for (;;) {
    token = r.next_element(kChildren, error, found);
    if (error != 0) return r.report_error(error, "Msg", __FILE__, __LINE__);
    if (token != kName && token != kItem) break;
    bool empty = false;
    const lmx::elmx_whitespace mode = token == kName ? lmx::EXWS_PRESERVE : lmx::EXWS_COLLAPSE;
    if (int code = r.simple_element_value(found, mode, value, empty); code != 0)
      return r.report_error(code, found, __FILE__, __LINE__);
  }
  if (token != lmx::TOK_END_TAG || found != "Msg")
    return r.report_error(lmx::ELMX_BAD_END_OF_ELEMENT, "Msg", __FILE__, __LINE__);
  return 0;
}

// Every event in turn; leaf-looking elements are read as values, every third one skipped.
void walk(lmx::c_xml_reader& r, std::size_t budget) {
  std::string found;
  std::string value;
  int error = 0;
  for (std::size_t step = 0; step < budget; ++step) {
    const int token = r.next_element(kChildren, error, found);
    if (error != 0) return;
    if (token == lmx::TOK_END_TAG || token == lmx::TOK_CHARS) continue;
    for (int a = 0; a < 64; ++a) {
      const int t = r.next_attribute(nullptr, error, found);
      if (error != 0) return;
      if (t == lmx::TOK_START_TAG_END || t == lmx::TOK_END_TAG) break;
      (void)r.is_xsi_attribute(found);
      if ((a & 1) == 0 && r.attribute_value(value, lmx::EXWS_REPLACE) != 0) return;
    }
    bool empty = false;
    if (step % 3 == 2) {
      if (r.skip_element() != 0) return;
    } else if (token == kName || token == kItem) {
      if (r.simple_element_value(found, lmx::EXWS_COLLAPSE, value, empty) != 0) return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    lmx::c_read_memory source(data, size);
    lmx::c_xml_reader reader(source);
    // What follows the root is checked as a packet's read checks it.
    if (read_message(reader) == 0) (void)reader.end_of_document();
    (void)reader.get_error_message();
  }
  {
    lmx::c_read_memory source(data, size);
    lmx::c_xml_reader reader(source);
    walk(reader, 4 * size + 16);
    (void)reader.get_error_message();
  }
  return 0;
}
